// The photo menu item of the main window on the offscreen platform, with the
// synthetic camera: a photo of the img_size resolution named by the time
// stamp (two in one second share the name), and the warning when the photo
// cannot be stored.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTest>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/main_form_unit.h"
#include "app/message_box.h"
#include "player/player.h"
#include "player/video_state.h"
#include "settings/log.h"
#include "settings/settings.h"
#include "tests/app/form_fixture.h"

namespace {

class photo : public ::testing::Test {
public:
    void SetUp() override
    {
        folder = temp.prefix();
        form_fixture::write_own_cfg(form_fixture::quiet_cfg(
            false, {"ipc_ip=test://640x360@25", "img_size=6", "img_quality=1", "img_path=" + folder}));
        message_box_hook = [this](bool warning, const char* text) {
            boxes.push_back((warning ? "warning: " : "information: ") + std::string(text));
        };
        form = std::make_unique<Tmain_form>();
    }
    void TearDown() override
    {
        form->FormCloseQuery();
        form.reset();
        message_box_hook = nullptr;
    }

    // The first connection attempt runs 100 ms after the loop starts; the
    // picture follows its first key frame.
    bool wait_for_picture()
    {
        return QTest::qWaitFor([] {
            mt_guard_t guard(player_lock);
            return preview_handle >= 0 && player_port >= 0 && player_has_picture(player_port) != 0;
        }, 15000);
    }

    std::vector<std::string> photos() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        return names;
    }

    static std::string log_text() { return kestrel_test::read_file(form_fixture::own_path() + ".log"); }

    kestrel_test::temp_folder_t temp{"kestrel-photos"};
    std::string folder;  // img_path, with its separator
    std::vector<std::string> boxes;
    std::unique_ptr<Tmain_form> form;
};

size_t count_of(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

TEST_F(photo, two_photos_in_one_second_share_the_time_stamp_name)
{
    ASSERT_TRUE(wait_for_picture());
    // Both photos inside one calendar second; a loaded machine may need more
    // than one try to fit two photos into one.
    std::string stamp;
    int photos_taken = 0;
    const auto deadline = kestrel_test::deadline_in(std::chrono::seconds(15));
    while (stamp.empty() && kestrel_test::test_clock::now() < deadline) {
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            std::filesystem::remove(entry.path());
        while (std::chrono::system_clock::now().time_since_epoch() % std::chrono::seconds(1) >
               std::chrono::milliseconds(100))
            QTest::qWait(5);
        const std::string before = utc_timestamp();
        form->save_img_itmClick();
        form->save_img_itmClick();
        photos_taken += 2;
        if (utc_timestamp() == before)
            stamp = before;
        // The photos are taken off the GUI thread, which goes on meanwhile.
        ASSERT_TRUE(QTest::qWaitFor([&] { return count_of(log_text(), " img saved\r\n") == size_t(photos_taken); },
                                    30000));
    }
    ASSERT_FALSE(stamp.empty()) << "no two photos fitted into one second";
    ASSERT_EQ(photos(), std::vector<std::string>{stamp + ".jpg"});
    const QImage picture(QString::fromStdString(folder + stamp + ".jpg"), "JPEG");
    EXPECT_EQ(picture.size(), QSize(640, 480));  // VGA
    EXPECT_EQ(count_of(log_text(), " img saved\r\n"), static_cast<size_t>(photos_taken));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(photo, a_photo_that_cannot_be_stored_is_reported)
{
    ASSERT_TRUE(wait_for_picture());
    // A folder below a file cannot exist.
    kestrel_test::write_file(folder + "file", "x");
    settings.img_path = folder + "file/";
    form->save_img_itmClick();
    EXPECT_TRUE(boxes.empty()) << "the warning comes with the outcome, not with the click";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 30000));
    EXPECT_EQ(boxes, std::vector<std::string>{"warning: Не могу сохранить фото."});
    EXPECT_NE(log_text().find(" can not save img\r\n"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
