// The main window's and the options dialog's rules without a display: the
// screen full screen covers, opacity and transparency steps, edge zones and
// their cursors, the double-click rule, the dialog's number checks, number
// formatting, folder prefixes and the link mode's two lists; and the report
// of an exception that reaches the process entry.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <climits>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/entry_checks.h"
#include "app/fatal_error.h"
#include "app/message_box.h"
#include "app/window_rules.h"
#include "settings/settings.h"
#include "tests/support/kestrel_process.h"

TEST(best_monitor, largest_overlap_wins_first_of_equals_primary_when_none)
{
    const QRect left(0, 0, 1920, 1080);
    const QRect right(1920, 0, 1280, 1024);
    const QRect primary = left;
    struct case_t {
        QRect window;
        std::vector<QRect> screens;
        QRect expected;
    } cases[] = {
        {QRect(100, 100, 640, 480), {left, right}, left},
        {QRect(2000, 100, 640, 480), {left, right}, right},
        // Spans both: 400 columns on the left, 240 on the right.
        {QRect(1520, 100, 640, 480), {left, right}, left},
        {QRect(1700, 100, 640, 480), {left, right}, right},
        // Equal parts: the screen listed first.
        {QRect(1600, 100, 640, 480), {left, right}, left},
        {QRect(1600, 100, 640, 480), {right, left}, right},
        // Entirely outside every screen, and no screens at all.
        {QRect(5000, 5000, 640, 480), {left, right}, primary},
        {QRect(100, 100, 640, 480), {}, primary},
        // Touching an edge is no overlap.
        {QRect(-640, 0, 640, 480), {left, right}, primary},
    };
    for (const case_t& c : cases)
        EXPECT_EQ(best_monitor(c.window, c.screens, primary), c.expected)
            << c.window.x() << "," << c.window.y();
}

TEST(transparency, opacity_follows_alpha_and_stays_within_its_range)
{
    const std::pair<int32_t, int32_t> cases[] = {
        {0, 255}, {5, 242}, {50, 127}, {95, 12}, {100, 0},
        // Off the grid and outside 0..100, as the file may give it.
        {2, 249}, {-3, 255}, {-1000, 255}, {150, 0}, {INT_MAX, 0}, {INT_MIN, 255},
    };
    for (const auto& [alpha, opacity] : cases)
        EXPECT_EQ(opacity_for(alpha), opacity) << alpha;
}

TEST(transparency, menu_steps_stay_on_zero_to_ninety_five)
{
    struct case_t {
        int32_t alpha, up, down;
    } cases[] = {
        {0, 5, 0},     {5, 10, 0},   {50, 55, 45}, {90, 95, 85},  {95, 95, 90},
        {100, 100, 95}, {150, 150, 95}, {2, 7, 0},  {93, 95, 88},  {97, 97, 92},
        {-3, 2, -3},   {-50, 0, -50}, {INT_MAX, INT_MAX, 95}, {INT_MIN, 0, INT_MIN},
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(alpha_step_up(c.alpha), c.up) << c.alpha;
        EXPECT_EQ(alpha_step_down(c.alpha), c.down) << c.alpha;
    }
    // Whatever the start, a run of steps ends inside 0..95 and opacity
    // never leaves 0..255 on the way.
    for (int32_t start : {-7, 0, 3, 42, 95, 99, 100, 250}) {
        int32_t a = start;
        for (int i = 0; i < 30; ++i) {
            a = alpha_step_down(a);
            EXPECT_GE(opacity_for(a), 0);
            EXPECT_LE(opacity_for(a), 255);
        }
        EXPECT_GE(a, start < 0 ? start : 0);
        for (int i = 0; i < 30; ++i)
            a = alpha_step_up(a);
        if (start <= 95)
            EXPECT_EQ(a, 95) << start;
    }
}

TEST(edge_zones, press_flags_and_drag_edges_for_each_edge_and_corner)
{
    // A 400 x 300 compact window with the 10-pixel zone.
    struct case_t {
        int x, y;
        bool right, bottom, left, top, move;
        Qt::Edges edges;
    } cases[] = {
        {200, 150, false, false, false, false, true, {}},
        {395, 150, true, false, false, false, false, Qt::RightEdge},
        {200, 295, false, true, false, false, false, Qt::BottomEdge},
        {5, 150, false, false, true, false, false, Qt::LeftEdge},
        {200, 5, false, false, false, true, false, Qt::TopEdge},
        {395, 295, true, true, false, false, false, Qt::RightEdge | Qt::BottomEdge},
        {395, 5, true, false, false, true, false, Qt::RightEdge | Qt::TopEdge},
        {5, 295, false, true, true, false, false, Qt::LeftEdge | Qt::BottomEdge},
        {5, 5, false, false, true, true, false, Qt::LeftEdge | Qt::TopEdge},
        // The zone's inner border: 10 pixels from an edge is outside it.
        {390, 150, false, false, false, false, true, {}},
        {391, 150, true, false, false, false, false, Qt::RightEdge},
        {10, 150, false, false, false, false, true, {}},
        {9, 150, false, false, true, false, false, Qt::LeftEdge},
    };
    for (const case_t& c : cases) {
        const press_flags_t p = press_flags_at(c.x, c.y, 400, 300, 10, true);
        EXPECT_EQ(p.right, c.right) << c.x << "," << c.y;
        EXPECT_EQ(p.bottom, c.bottom) << c.x << "," << c.y;
        EXPECT_EQ(p.left, c.left) << c.x << "," << c.y;
        EXPECT_EQ(p.top, c.top) << c.x << "," << c.y;
        EXPECT_EQ(p.move, c.move) << c.x << "," << c.y;
        EXPECT_EQ(drag_edges(p), c.edges) << c.x << "," << c.y;
        // Outside compact mode every press drags.
        const press_flags_t framed = press_flags_at(c.x, c.y, 400, 300, 10, false);
        EXPECT_TRUE(framed.move);
        EXPECT_FALSE(framed.right || framed.bottom || framed.left || framed.top);
    }
    // A window narrower than two zones: left and right both hold, and the
    // corner rule picks the right-hand resize first.
    const press_flags_t narrow = press_flags_at(5, 150, 12, 300, 10, true);
    EXPECT_TRUE(narrow.left && narrow.right);
    EXPECT_EQ(drag_edges(narrow), Qt::Edges(Qt::RightEdge));
    EXPECT_EQ(drag_edges(press_flags_t()), Qt::Edges());
}

TEST(edge_zones, cursor_shapes)
{
    const std::pair<QPoint, Qt::CursorShape> cases[] = {
        {{395, 295}, Qt::SizeFDiagCursor}, {{5, 5}, Qt::SizeFDiagCursor},
        {{395, 5}, Qt::SizeBDiagCursor},   {{5, 295}, Qt::SizeBDiagCursor},
        {{5, 150}, Qt::SizeHorCursor},     {{395, 150}, Qt::SizeHorCursor},
        {{200, 5}, Qt::SizeVerCursor},     {{200, 295}, Qt::SizeVerCursor},
        {{200, 150}, Qt::ArrowCursor},
    };
    for (const auto& [at, shape] : cases)
        EXPECT_EQ(edge_cursor(at.x(), at.y(), 400, 300, 10), shape) << at.x() << "," << at.y();
}

TEST(double_click, within_the_interval_and_across_the_tick_count_wrap)
{
    EXPECT_TRUE(is_double_click(1400, 1000, 400));
    EXPECT_FALSE(is_double_click(1401, 1000, 400));
    EXPECT_TRUE(is_double_click(1000, 1000, 400));
    // The 32-bit tick count wraps after 49.7 days.
    EXPECT_TRUE(is_double_click(100, 0xFFFFFF00u, 400));
    EXPECT_FALSE(is_double_click(500, 0xFFFFFF00u, 400));
    // A last press "in the future" (the start-up value) is far away.
    EXPECT_FALSE(is_double_click(1000, 6000, 400));
}

TEST(entry_checks, integers)
{
    struct case_t {
        const char* text;
        bool valid;
        int32_t value;
    } cases[] = {
        {"80", true, 80},           {"0", true, 0},           {"-5", true, -5},
        {"+7", true, 7},            {"007", true, 7},         {"2147483647", true, INT_MAX},
        {"-2147483648", true, INT_MIN},
        {"8o", false, 0},           {"", false, 0},           {"-", false, 0},
        {"+", false, 0},            {"2147483648", false, 0}, {"-2147483649", false, 0},
        {" 80", false, 0},          {"80 ", false, 0},        {"0x10", false, 0},
        {"1e3", false, 0},          {"1.0", false, 0},        {"--1", false, 0},
        {"+-1", false, 0},
    };
    for (const case_t& c : cases) {
        int32_t value = 12345;
        EXPECT_EQ(parse_int32(c.text, value), c.valid) << c.text;
        EXPECT_EQ(value, c.valid ? c.value : 12345) << c.text;
    }
}

TEST(entry_checks, decimals_with_either_separator)
{
    struct case_t {
        const char* text;
        char separator;
        bool valid;
        double value;
    } cases[] = {
        {"1,9", ',', true, 1.9},    {"1.9", '.', true, 1.9},   {"168,5", ',', true, 168.5},
        {"-2", ',', true, -2.0},    {"+3", ',', true, 3.0},    {",5", ',', true, 0.5},
        {"5,", ',', true, 5.0},     {"1e3", ',', true, 1000.0}, {"1,5E-1", ',', true, 0.15},
        {"1.9", ',', false, 0},     {"1,9", '.', false, 0},    {"", ',', false, 0},
        {",", ',', false, 0},       {"1e", ',', false, 0},     {"abc", ',', false, 0},
        {"1,2,3", ',', false, 0},   {"1e999", '.', false, 0},  {"inf", '.', false, 0},
        {"nan", '.', false, 0},     {" 1", '.', false, 0},
    };
    for (const case_t& c : cases) {
        double value = -99.0;
        EXPECT_EQ(parse_decimal(c.text, c.separator, value), c.valid) << c.text;
        if (c.valid)
            EXPECT_DOUBLE_EQ(value, c.value) << c.text;
        else
            EXPECT_EQ(value, -99.0) << c.text;
    }
}

TEST(entry_checks, intervals_need_a_whole_hour_more_after_truncation)
{
    struct case_t {
        const char* add;
        const char* remove;
        char separator;
        bool valid;
    } cases[] = {
        {"1", "2", ',', true},          {"1", "1,9", ',', false},     {"1,5", "1,9", ',', false},
        {"1,0000", "168,5000", ',', true}, {"1", "1", ',', false},   {"2", "1", ',', false},
        {"0,9", "1", ',', true},        {"-0,5", "0,5", ',', false},  {"-1,5", "0", ',', true},
        {"1", "2.0", ',', false},       {"", "2", ',', false},        {"1", "x", ',', false},
        {"1.0", "2.5", '.', true},
    };
    for (const case_t& c : cases)
        EXPECT_EQ(intervals_valid(c.add, c.remove, c.separator), c.valid) << c.add << " " << c.remove;
}

TEST(entry_checks, fixed_point_folders_and_link_mode)
{
    EXPECT_EQ(format_fixed4(1.0, ','), "1,0000");
    EXPECT_EQ(format_fixed4(168.5, '.'), "168.5000");
    EXPECT_EQ(format_fixed4(-0.25, ','), "-0,2500");
    // No digit grouping, however large.
    EXPECT_EQ(format_fixed4(12345678.0, ','), "12345678,0000");
    EXPECT_EQ(format_fixed4(1e300, '.').size(), 301u + 5u);

    EXPECT_EQ(as_folder_prefix("/data/rec"), "/data/rec/");
    EXPECT_EQ(as_folder_prefix("/data/rec/"), "/data/rec/");
    EXPECT_EQ(as_folder_prefix("C:\\rec\\"), "C:\\rec\\");
    EXPECT_EQ(as_folder_prefix(""), "");

    const int32_t sub_udp = static_cast<int32_t>(0x80000001u);
    EXPECT_EQ(link_stream_index(sub_udp), 1);
    EXPECT_EQ(link_transport_code(sub_udp), 1);
    EXPECT_EQ(compose_link_mode(1, 1, 0), sub_udp);
    EXPECT_EQ(compose_link_mode(0, 3, sub_udp), 3);
    // Nothing chosen in the transport list keeps the stored code.
    EXPECT_EQ(compose_link_mode(1, -1, 7), static_cast<int32_t>(0x80000007u));
    EXPECT_EQ(compose_link_mode(0, -1, static_cast<int32_t>(0xFFFFFFFFu)), 0x7FFFFFFF);
}

namespace {

void fail() { throw std::runtime_error("probe failure"); }
void fail_unhandled() noexcept { fail(); }

}  // namespace

// Installed as the process entry installs it: an exception nothing handles
// ends the process with a failure status and its text on standard error.
TEST(exception_report, an_unhandled_exception_fails_the_run)
{
    EXPECT_EXIT(
        {
            settings.daemon_mode = true;
            report_uncaught_exceptions(0, nullptr);
            fail_unhandled();
        },
        ::testing::ExitedWithCode(1), "exception: probe failure");
}

// An exception before the application object exists, the log open or not:
// the warning box gets the text (the report makes an application for it),
// the log gets it appended, daemon mode shows no box, and the run fails
// either way.
TEST(exception_report, shown_or_logged_and_the_run_fails)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const kestrel_test::temp_folder_t temp("kestrel-exception");
    const std::string folder = temp.path();
    settings.exe_path = folder + "/kestrel";
    kestrel_test::write_file(folder + "/kestrel.log", "earlier run lines\r\n");
    std::vector<std::string> boxes;
    message_box_hook = [&](bool warning, const char* text) {
        boxes.push_back((warning ? "warning: " : "information: ") + std::string(text));
        EXPECT_NE(QCoreApplication::instance(), nullptr);
    };
    char name[] = "kestrel";
    char* argv[] = {name, nullptr};

    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    EXPECT_NE(end_with_exception(1, argv, "std::bad_alloc"), 0);
    EXPECT_EQ(boxes, std::vector<std::string>{"warning: std::bad_alloc"});
    settings.daemon_mode = true;
    EXPECT_NE(end_with_exception(1, argv, "bad_function_call"), 0);
    EXPECT_EQ(boxes.size(), 1u);

    const std::string log = kestrel_test::read_file(folder + "/kestrel.log");
    EXPECT_EQ(log.rfind("earlier run lines\r\n", 0), 0u) << log;
    EXPECT_NE(log.find(" exception: std::bad_alloc\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" exception: bad_function_call\r\n"), std::string::npos) << log;
    message_box_hook = nullptr;
    settings = settings_t();
}
