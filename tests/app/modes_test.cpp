// The main window's presentation modes on the offscreen platform, in this
// process: the popup menu in each state, transparency steps with the
// resulting opacity, the double click, Alt+Enter on both Enter keys, press
// flags and the window following a drag, the idle cursor, and the saved
// modes applied at start-up.
#include <gtest/gtest.h>

#include <QAction>
#include <QCursor>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QStyleHints>
#include <QTest>

#include <cmath>

#include "service/form_timer.h"
#include "app/main_form_unit.h"
#include "player/video_state.h"
#include "settings/settings.h"
#include "tests/app/form_fixture.h"

using form_fixture::quiet_cfg;
using form_fixture::write_own_cfg;

namespace {

QRect screen_rect() { return QGuiApplication::primaryScreen()->geometry(); }

int opacity_255(const Tmain_form& form) { return static_cast<int>(std::lround(form.windowOpacity() * 255.0)); }

bool frameless(const Tmain_form& form) { return form.windowFlags().testFlag(Qt::FramelessWindowHint); }

// Two clicks as Qt delivers them: a press, then the second press as a
// double-click event.
void double_click(QWidget* widget, QPoint at)
{
    QTest::mouseClick(widget, Qt::LeftButton, {}, at);
    QTest::mouseDClick(widget, Qt::LeftButton, {}, at);
    QTest::mouseRelease(widget, Qt::LeftButton, {}, at);
}

// Waits out the double-click interval so that the next press is a first one.
void after_double_click_time()
{
    QTest::qWait(QGuiApplication::styleHints()->mouseDoubleClickInterval() + 50);
}

}  // namespace

TEST(popup_menu, captions_shortcuts_and_visibility_in_each_state)
{
    write_own_cfg(quiet_cfg(false, {"alpha=35"}));
    Tmain_form form;
    // The fixed items, in order.
    QStringList captions;
    for (QAction* action : form.PopupMenu->actions())
        captions << (action->isSeparator() ? QStringLiteral("-") : action->text());
    form.PopupMenuPopup();
    EXPECT_EQ(captions, (QStringList{"Настройки...", "-", "Запустить запись видео", "Сохранить фото", "-",
                                     "На весь экран", "Поверх всех окон", "Компактный режим",
                                     "Поместить в трей", "Прозрачность", "-", "Закрыть"}));
    EXPECT_EQ(form.save_img_itm->shortcut(), QKeySequence(Qt::Key_F9));
    EXPECT_TRUE(form.full_screen_mode_itm->shortcuts().contains(QKeySequence(Qt::ALT | Qt::Key_Return)));
    EXPECT_TRUE(form.full_screen_mode_itm->shortcuts().contains(QKeySequence(Qt::ALT | Qt::Key_Enter)));
    EXPECT_EQ(form.alpha_inc_itm->text(), QStringLiteral("+5%"));
    EXPECT_EQ(form.alpha_inc_itm->shortcut(), QKeySequence(Qt::Key_PageUp));
    EXPECT_EQ(form.alpha_dec_itm->text(), QStringLiteral("-5%"));
    EXPECT_EQ(form.alpha_dec_itm->shortcut(), QKeySequence(Qt::Key_PageDown));

    struct case_t {
        bool demo;
        uint32_t os;
        bool preview;
        bool recording;
    } cases[] = {
        {false, 5, false, false}, {false, 6, false, false}, {true, 5, false, false},
        {false, 6, true, false},  {false, 5, true, true},   {true, 6, true, true},
    };
    for (const case_t& c : cases) {
        form.demo_timer->set_enabled(c.demo);
        form.os_major_version = c.os;
        preview_handle = c.preview ? 0 : -1;
        form.rec_timer->set_enabled(c.recording);
        form.PopupMenuPopup();
        const std::string label = std::to_string(c.demo) + std::to_string(c.os) +
                                  std::to_string(c.preview) + std::to_string(c.recording);
        EXPECT_EQ(form.start_stop_rec_itm->text(),
                  c.recording ? QStringLiteral("Остановить запись видео") : QStringLiteral("Запустить запись видео"))
            << label;
        EXPECT_EQ(form.start_stop_rec_itm->shortcut(), QKeySequence(c.recording ? Qt::Key_F6 : Qt::Key_F5)) << label;
        // Out of the menu without a preview, yet never disabled: their keys work.
        EXPECT_EQ(form.PopupMenu->actions().contains(form.start_stop_rec_itm), c.preview) << label;
        EXPECT_EQ(form.PopupMenu->actions().contains(form.save_img_itm), c.preview) << label;
        EXPECT_TRUE(form.start_stop_rec_itm->isEnabled() && form.save_img_itm->isEnabled()) << label;
        EXPECT_EQ(form.alpha_itm->isVisible(), c.demo || c.os >= 6) << label;
        EXPECT_EQ(form.alpha_itm->text(), QStringLiteral("Прозрачность 35%")) << label;
    }
    // The last case ran with a preview: the two items are back in their place.
    EXPECT_EQ(form.PopupMenu->actions().indexOf(form.start_stop_rec_itm), 2);
    EXPECT_EQ(form.PopupMenu->actions().indexOf(form.save_img_itm), 3);
    // Back to a state the close sequence can take down.
    preview_handle = -1;
    form.rec_timer->set_enabled(false);
    form.FormCloseQuery();
}

TEST(transparency, steps_set_opacity_and_switch_blending)
{
    struct step_t {
        char key;  // '+' Page Up, '-' Page Down
        int alpha, opacity;
        bool blending;
    };
    struct case_t {
        int start;
        bool demo;
        int start_opacity;
        bool start_blending;
        std::vector<step_t> steps;
    } cases[] = {
        {0, true, 255, false, {{'+', 5, 242, true}, {'-', 0, 255, false}, {'-', 0, 255, false}}},
        {95, true, 12, true, {{'+', 95, 12, true}, {'-', 90, 25, true}}},
        {50, true, 127, true, {{'-', 45, 140, true}, {'+', 50, 127, true}}},
        // 100 from the file: opacity 0, left opaque; Page Up keeps it;
        // Page Down gives 95 still opaque; the next Page Up blends.
        {100, true, 0, false, {{'+', 100, 0, false}, {'-', 95, 12, false}, {'+', 95, 12, true}}},
        // Off the grid: held within 0..95.
        {2, true, 249, true, {{'-', 0, 255, false}, {'-', 0, 255, false}}},
        {93, true, 17, true, {{'+', 95, 12, true}}},
        // Without demo mode on a platform that does not composite, the item
        // is hidden and the keys change nothing.
        {50, false, 127, false, {{'+', 50, 127, false}, {'-', 50, 127, false}}},
    };
    for (const case_t& c : cases) {
        write_own_cfg(quiet_cfg(c.demo, {"alpha=" + std::to_string(c.start)}));
        Tmain_form form;
        ASSERT_EQ(form.os_major_version, 5u);
        const std::string label = std::to_string(c.start) + (c.demo ? " demo" : "");
        EXPECT_EQ(form.opacity_value(), c.start_opacity) << label;
        EXPECT_EQ(form.transparency(), c.start_blending) << label;
        EXPECT_EQ(opacity_255(form), c.start_blending ? c.start_opacity : 255) << label;
        for (const step_t& s : c.steps) {
            if (s.key == '+')
                form.alpha_inc_itmClick();
            else
                form.alpha_dec_itmClick();
            EXPECT_EQ(settings.alpha, s.alpha) << label << " " << s.key;
            EXPECT_EQ(form.opacity_value(), s.opacity) << label << " " << s.key;
            EXPECT_EQ(form.transparency(), s.blending) << label << " " << s.key;
            EXPECT_EQ(opacity_255(form), s.blending ? s.opacity : 255) << label << " " << s.key;
        }
        form.FormCloseQuery();
    }
}

TEST(transparency, compositing_platform_blends_without_demo_and_demo_switch_blends)
{
    write_own_cfg(quiet_cfg(false, {"alpha=20"}));
    Tmain_form form;
    EXPECT_FALSE(form.transparency());
    EXPECT_FALSE(form.alpha_itm->isVisible());
    // Entering demo mode switches blending on and shows the item at once,
    // so Page Up works without the menu opened.
    form.enter_demo_mode();
    EXPECT_TRUE(form.transparency());
    EXPECT_EQ(opacity_255(form), 204);
    form.alpha_inc_itm->trigger();
    EXPECT_EQ(settings.alpha, 25);
    form.set_demo_timer_enabled(false);
    form.os_major_version = 6;
    form.PopupMenuPopup();
    form.alpha_dec_itmClick();
    EXPECT_EQ(settings.alpha, 20);
    EXPECT_TRUE(form.transparency());
    form.FormCloseQuery();
}

TEST(full_screen, double_click_toggles_and_restores_the_placement)
{
    write_own_cfg(quiet_cfg(true));
    Tmain_form form;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.setGeometry(120, 80, 400, 300);
    const QRect before = form.geometry();

    // The first press after start-up is never the second half of a double
    // click.
    QTest::mouseClick(&form, Qt::LeftButton, {}, QPoint(200, 150));
    EXPECT_FALSE(form.full_screen_mode_itm->isChecked());

    after_double_click_time();
    double_click(&form, QPoint(200, 150));
    EXPECT_TRUE(form.full_screen_mode_itm->isChecked());
    EXPECT_EQ(form.geometry(), screen_rect());
    EXPECT_TRUE(frameless(form));
    EXPECT_TRUE(form.isVisible());

    // Also while full screen is on.
    after_double_click_time();
    double_click(&form, QPoint(300, 300));
    EXPECT_FALSE(form.full_screen_mode_itm->isChecked());
    EXPECT_EQ(form.geometry(), before);
    EXPECT_FALSE(frameless(form));

    // Two presses further apart than the interval do not toggle.
    after_double_click_time();
    QTest::mouseClick(&form, Qt::LeftButton, {}, QPoint(200, 150));
    after_double_click_time();
    QTest::mouseClick(&form, Qt::LeftButton, {}, QPoint(200, 150));
    EXPECT_FALSE(form.full_screen_mode_itm->isChecked());
    // The right button never counts.
    QTest::mouseClick(&form, Qt::RightButton, {}, QPoint(200, 150));
    QTest::mouseClick(&form, Qt::RightButton, {}, QPoint(200, 150));
    EXPECT_FALSE(form.full_screen_mode_itm->isChecked());
    form.FormCloseQuery();
}

TEST(full_screen, alt_with_either_enter_key_toggles)
{
    write_own_cfg(quiet_cfg(true));
    Tmain_form form;
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(&form, Qt::Key_Return, Qt::AltModifier);
    EXPECT_TRUE(form.full_screen_mode_itm->isChecked());
    QTest::keyClick(&form, Qt::Key_Enter, Qt::AltModifier | Qt::KeypadModifier);
    EXPECT_FALSE(form.full_screen_mode_itm->isChecked());
    form.FormCloseQuery();
}

TEST(full_screen, compact_and_full_screen_combine)
{
    write_own_cfg(quiet_cfg(true));
    Tmain_form form;
    form.setGeometry(100, 100, 400, 300);
    const QRect before = form.geometry();
    form.compact_mode_itm->trigger();
    EXPECT_TRUE(frameless(form));
    EXPECT_EQ(form.geometry(), before);

    // Full screen over compact: leaving keeps the borderless style.
    form.full_screen_mode_itm->trigger();
    EXPECT_EQ(form.geometry(), screen_rect());
    form.full_screen_mode_itm->trigger();
    EXPECT_TRUE(frameless(form));
    EXPECT_EQ(form.geometry(), before);

    // Leaving compact mode in full screen only changes the mark; the frame
    // comes back when full screen is left.
    form.full_screen_mode_itm->trigger();
    form.compact_mode_itm->trigger();
    EXPECT_FALSE(form.compact_mode_itm->isChecked());
    EXPECT_TRUE(frameless(form));
    EXPECT_EQ(form.geometry(), screen_rect());
    form.full_screen_mode_itm->trigger();
    EXPECT_FALSE(frameless(form));
    EXPECT_EQ(form.geometry(), before);

    form.stay_on_top_mode_itm->trigger();
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(form.isVisible());
    form.stay_on_top_mode_itm->trigger();
    EXPECT_FALSE(form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    form.FormCloseQuery();
}

TEST(mouse, press_flags_in_compact_mode_and_the_window_follows_the_drag)
{
    write_own_cfg(quiet_cfg(true, {"compact_mode=true"}));
    Tmain_form form;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_TRUE(frameless(form));
    form.setGeometry(100, 100, 400, 300);
    struct case_t {
        QPoint at;
        bool right, bottom, left, top, move;
    } cases[] = {
        {{395, 295}, true, true, false, false, false}, {{5, 5}, false, false, true, true, false},
        {{395, 150}, true, false, false, false, false}, {{200, 5}, false, false, false, true, false},
        {{200, 150}, false, false, false, false, true},
    };
    for (const case_t& c : cases) {
        after_double_click_time();
        QTest::mousePress(&form, Qt::LeftButton, {}, c.at);
        const press_flags_t p = form.press_state();
        EXPECT_EQ(p.right, c.right) << c.at.x() << "," << c.at.y();
        EXPECT_EQ(p.bottom, c.bottom) << c.at.x() << "," << c.at.y();
        EXPECT_EQ(p.left, c.left) << c.at.x() << "," << c.at.y();
        EXPECT_EQ(p.top, c.top) << c.at.x() << "," << c.at.y();
        EXPECT_EQ(p.move, c.move) << c.at.x() << "," << c.at.y();
        QTest::mouseRelease(&form, Qt::LeftButton, {}, c.at);
        const press_flags_t released = form.press_state();
        EXPECT_FALSE(released.right || released.bottom || released.left || released.top || released.move);
    }

    // The offscreen platform has no system drag: the window follows the
    // pointer itself. A bottom-right press resizes, a middle press moves.
    after_double_click_time();
    form.FormMouseDown(395, 295);
    form.FormMouseMove(397, 296, true);  // within the threshold: nothing yet
    EXPECT_EQ(form.geometry(), QRect(100, 100, 400, 300));
    form.FormMouseMove(425, 315, true);
    EXPECT_EQ(form.geometry(), QRect(100, 100, 430, 320));
    form.FormMouseUp();
    after_double_click_time();
    form.FormMouseDown(200, 150);
    form.FormMouseMove(230, 110, true);
    EXPECT_EQ(form.geometry(), QRect(130, 60, 430, 320));
    form.FormMouseUp();
    // A move without the button held drags nothing.
    form.FormMouseMove(10, 10, false);
    EXPECT_EQ(form.geometry(), QRect(130, 60, 430, 320));
    form.FormCloseQuery();
}

TEST(mouse, no_press_flags_when_full_screen_or_framed)
{
    write_own_cfg(quiet_cfg(true));
    Tmain_form form;
    form.setGeometry(100, 100, 400, 300);
    form.FormMouseDown(395, 295);
    EXPECT_TRUE(form.press_state().move);
    EXPECT_FALSE(form.press_state().right);
    form.FormMouseUp();
    form.full_screen_mode_itm->trigger();
    after_double_click_time();
    form.FormMouseDown(5, 5);
    EXPECT_FALSE(form.press_state().move || form.press_state().left || form.press_state().top);
    form.FormMouseMove(100, 100, true);
    EXPECT_EQ(form.geometry(), screen_rect());
    form.FormMouseUp();
    form.FormCloseQuery();
}

TEST(mouse, idle_cursor_hides_after_five_ticks_and_returns_on_a_move)
{
    write_own_cfg(quiet_cfg(true));
    Tmain_form form;
    form.cursor_timer->set_enabled(false);  // ticks are driven by hand here
    for (int i = 0; i < 4; ++i)
        form.cursor_timerTimer();
    EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
    form.cursor_timerTimer();
    EXPECT_EQ(form.cursor().shape(), Qt::BlankCursor);
    form.cursor_timerTimer();
    EXPECT_EQ(form.cursor().shape(), Qt::BlankCursor);
    form.FormMouseMove(50, 50, false);
    EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
    // A move starts the count again.
    for (int i = 0; i < 4; ++i)
        form.cursor_timerTimer();
    form.FormMouseMove(60, 60, false);
    form.cursor_timerTimer();
    EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);

    // In compact mode the edges show sizing arrows; a hidden cursor comes
    // back as the arrow of the place it moves to.
    form.compact_mode_itm->trigger();
    form.resize(400, 300);
    form.FormMouseMove(395, 295, false);
    EXPECT_EQ(form.cursor().shape(), Qt::SizeFDiagCursor);
    for (int i = 0; i < 5; ++i)
        form.cursor_timerTimer();
    EXPECT_EQ(form.cursor().shape(), Qt::BlankCursor);
    form.FormMouseMove(5, 150, false);
    EXPECT_EQ(form.cursor().shape(), Qt::SizeHorCursor);
    // Outside compact mode the last shape stays.
    form.compact_mode_itm->trigger();
    form.FormMouseMove(200, 150, false);
    EXPECT_EQ(form.cursor().shape(), Qt::SizeHorCursor);
    form.FormCloseQuery();
}

TEST(start_up, saved_modes_are_applied_by_their_handlers)
{
    {
        write_own_cfg(quiet_cfg(true, {"full_screen_mode=true", "compact_mode=true", "stay_on_top_mode=true"}));
        Tmain_form form;
        EXPECT_TRUE(form.full_screen_mode_itm->isChecked());
        EXPECT_TRUE(form.compact_mode_itm->isChecked());
        EXPECT_TRUE(form.stay_on_top_mode_itm->isChecked());
        EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        EXPECT_EQ(form.geometry(), screen_rect());
        EXPECT_TRUE(frameless(form));
        EXPECT_TRUE(form.isVisible());
        // Leaving full screen goes back to the centred 400 x 300 place,
        // still borderless.
        form.full_screen_mode_itm->trigger();
        EXPECT_EQ(form.size(), QSize(400, 300));
        EXPECT_EQ(form.geometry().center(), screen_rect().center());
        EXPECT_TRUE(frameless(form));
        form.FormCloseQuery();
    }
    {
        // Compact false: the handler still runs once and leaves the frame.
        write_own_cfg(quiet_cfg(false, {"compact_mode=false"}));
        Tmain_form form;
        EXPECT_FALSE(form.compact_mode_itm->isChecked());
        EXPECT_FALSE(frameless(form));
        EXPECT_TRUE(form.isVisible());
        EXPECT_FALSE(form.isMinimized());
        form.FormCloseQuery();
    }
    {
        write_own_cfg(quiet_cfg(false, {"minimized=true"}));
        Tmain_form form;
        EXPECT_TRUE(form.isMinimized());
        form.FormCloseQuery();
    }
    {
        // Tray mode where no tray exists: the window must stay reachable,
        // so a minimised tray start becomes a plain minimised start.
        write_own_cfg(quiet_cfg(false, {"minimized=true", "tray_mode=true"}));
        Tmain_form form;
        EXPECT_TRUE(form.tray_mode_itm->isChecked());
        EXPECT_FALSE(form.tray_icon(Tmain_form::tray_modify));
        EXPECT_TRUE(form.isMinimized());
        EXPECT_TRUE(form.windowFlags().testFlag(Qt::Tool));
        form.tray_mode_itm->trigger();
        EXPECT_FALSE(form.windowFlags().testFlag(Qt::Tool));
        EXPECT_TRUE(form.windowFlags().testFlag(Qt::Window));
        form.FormCloseQuery();
    }
}

TEST(tray, left_click_toggles_the_window_and_right_click_opens_the_menu_at_the_cursor)
{
    write_own_cfg(quiet_cfg(true, {"alpha=10"}));
    Tmain_form form;
    ASSERT_TRUE(form.isVisible());
    form.tray_left_click();
    EXPECT_FALSE(form.isVisible());
    form.tray_left_click();
    EXPECT_TRUE(form.isVisible());

    QCursor::setPos(300, 200);
    form.tray_right_click();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.PopupMenu));
    EXPECT_EQ(form.PopupMenu->pos(), QPoint(300, 200));
    // Opening it ran the menu's own update.
    EXPECT_EQ(form.alpha_itm->text(), QStringLiteral("Прозрачность 10%"));
    form.PopupMenu->hide();
    form.FormCloseQuery();
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    // Short, so that waiting out a double click keeps the tests quick.
    QGuiApplication::styleHints()->setMouseDoubleClickInterval(150);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
