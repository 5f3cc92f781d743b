// The options dialog on the offscreen platform, with the main window and its
// web server in this process: layout and tab order, the red markers of the
// integer and interval checks (also under a comma locale), Apply refused
// while anything is red, the link mode's bits, ports cut to 16 bits, the
// listening socket moving only on a restart, the folder chooser and Esc.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTest>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "service/form_timer.h"
#include "app/main_form_unit.h"
#include "app/message_box.h"
#include "app/options_form_unit.h"
#include "settings/settings.h"
#include "tests/app/form_fixture.h"
#include "web/simple_server.h"

using form_fixture::quiet_cfg;
using form_fixture::write_own_cfg;

namespace {

// The main window and the dialog, as the process entry makes them; the
// dialog is shown without a modal loop so the test can drive it.
class options_fixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale::c());
        web_port = kestrel_test::free_loopback_port();
        write_own_cfg(quiet_cfg(true, {"port=" + std::to_string(web_port)}));
        form = std::make_unique<Tmain_form>();
        dialog = std::make_unique<Toptions_form>(form.get());
        options_form = dialog.get();
        message_box_hook = [this](bool warning, const char* text) {
            boxes.push_back((warning ? "warning: " : "information: ") + std::string(text));
        };
        dialog->show();
    }

    void TearDown() override
    {
        dialog->hide();
        message_box_hook = nullptr;
        folder_chooser_hook = nullptr;
        options_form = nullptr;
        dialog.reset();
        form->FormCloseQuery();
        form.reset();
        QLocale::setDefault(QLocale::c());
    }

    uint16_t web_port = 0;
    std::unique_ptr<Tmain_form> form;
    std::unique_ptr<Toptions_form> dialog;
    std::vector<std::string> boxes;  // message boxes, as they were shown
};

bool accepts(uint16_t port)
{
    const int s = kestrel_test::connect_loopback(port);
    if (s < 0)
        return false;
    ::close(s);
    return true;
}

}  // namespace

TEST_F(options_fixture, layout_captions_and_tab_order)
{
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Настройки"));
    EXPECT_EQ(dialog->size(), QSize(649, 425));
    EXPECT_EQ(dialog->web_GroupBox->title(), QStringLiteral("Web-сервер"));
    EXPECT_EQ(dialog->web_GroupBox->geometry(), QRect(8, 8, 153, 385));
    EXPECT_EQ(dialog->ipc_GroupBox->geometry(), QRect(168, 8, 153, 305));
    EXPECT_EQ(dialog->rec_GroupBox->geometry(), QRect(328, 8, 153, 145));
    EXPECT_EQ(dialog->img_GroupBox->geometry(), QRect(328, 160, 153, 153));
    EXPECT_EQ(dialog->con_GroupBox->geometry(), QRect(488, 8, 153, 145));
    EXPECT_EQ(dialog->ipc_GroupBox->title(), QStringLiteral("Камера"));
    EXPECT_EQ(dialog->rec_GroupBox->title(), QStringLiteral("Видео"));
    EXPECT_EQ(dialog->img_GroupBox->title(), QStringLiteral("Фото"));
    EXPECT_EQ(dialog->con_GroupBox->title(), QStringLiteral("Подключение"));
    EXPECT_EQ(dialog->apply->text(), QStringLiteral("Применить"));
    EXPECT_EQ(dialog->apply->geometry(), QRect(488, 160, 153, 25));
    EXPECT_EQ(dialog->restart_server->text(), QStringLiteral("Перезапустить сервер"));
    EXPECT_EQ(dialog->recon_ipc->text(), QStringLiteral("Переподключить камеру"));
    EXPECT_EQ(dialog->start_demo->geometry(), QRect(488, 256, 153, 25));
    EXPECT_EQ(dialog->browse_root->text(), QStringLiteral("..."));
    EXPECT_EQ(dialog->root->width(), 113);
    EXPECT_EQ(dialog->browse_root->size(), QSize(27, 21));
    EXPECT_EQ(dialog->ipc_mode->count(), 4);
    EXPECT_EQ(dialog->ipc_mode->itemText(2), QStringLiteral("Multi-play"));
    EXPECT_EQ(dialog->img_size->count(), 20);
    EXPECT_EQ(dialog->img_size->itemText(19), QStringLiteral("1080i"));
    EXPECT_EQ(dialog->img_quality->itemText(2), QStringLiteral("Средее"));

    QStringList labels;
    for (const QLabel* label : dialog->findChildren<QLabel*>())
        labels << label->text();
    for (const char* expected : {"Буфер приема [B]", "Время кадра MJPEG [мс]", "Время осн. цикла [мс]",
                                 "Создавать новое через [ч]", "Удалять старое через [ч]", "Кол-во попыток",
                                 "Вр. между попытками [мс]", "Примечание: доп. настройки см. в cfg-файле"})
        EXPECT_TRUE(labels.contains(QString::fromUtf8(expected))) << expected;

    const std::vector<QWidget*> order = {
        dialog->ip, dialog->port, dialog->login, dialog->password, dialog->root, dialog->browse_root,
        dialog->sizeof_in, dialog->sizeof_out, dialog->frame_delay, dialog->main_interval,
        dialog->ipc_ip, dialog->ipc_port, dialog->ipc_login, dialog->ipc_password, dialog->channel,
        dialog->ipc_stream, dialog->ipc_mode, dialog->rec_add_interval, dialog->rec_remove_interval,
        dialog->rec_path, dialog->browse_rec_path, dialog->img_size, dialog->img_quality,
        dialog->img_path, dialog->browse_img_path, dialog->con_wait_time, dialog->con_try_times,
        dialog->recon_interval, dialog->apply, dialog->restart_server, dialog->recon_ipc,
        dialog->start_demo};
    QWidget* at = order.front();
    for (size_t i = 1; i < order.size(); ++i) {
        do
            at = at->nextInFocusChain();
        while (!(at->focusPolicy() & Qt::TabFocus));
        EXPECT_EQ(at, order[i]) << "tab stop " << i;
    }
}

TEST_F(options_fixture, shows_the_settings_with_every_marker_normal)
{
    EXPECT_EQ(dialog->ip->text(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(dialog->port->text(), QString::number(web_port));
    EXPECT_EQ(dialog->login->text(), QStringLiteral("user"));
    EXPECT_EQ(dialog->sizeof_out->text(), QStringLiteral("1048576"));
    EXPECT_EQ(dialog->ipc_port->text(), QString::number(settings.ipc_port));
    EXPECT_EQ(dialog->recon_interval->text(), QStringLiteral("100000"));
    EXPECT_EQ(dialog->rec_add_interval->text(), QStringLiteral("1.0000"));
    EXPECT_EQ(dialog->rec_remove_interval->text(), QStringLiteral("168.5000"));
    EXPECT_EQ(dialog->img_size->currentText(), QStringLiteral("HD720p(1280x720)"));
    EXPECT_EQ(dialog->img_quality->currentIndex(), 0);
    EXPECT_EQ(dialog->rec_path->text().toStdString(), settings.rec_path);
    for (const QLineEdit* edit : dialog->findChildren<QLineEdit*>())
        EXPECT_FALSE(Toptions_form::is_red(edit));
}

TEST_F(options_fixture, integer_entries_turn_red_and_apply_refuses)
{
    const std::pair<const char*, bool> texts[] = {
        {"8o", true}, {"80", false}, {"", true}, {"2147483648", true}, {"-5", false}, {"+12", false},
    };
    for (QLineEdit* edit : {dialog->port, dialog->sizeof_in, dialog->channel, dialog->recon_interval}) {
        for (const auto& [text, red] : texts) {
            edit->setText(QString::fromUtf8(text));
            EXPECT_EQ(Toptions_form::is_red(edit), red) << text;
        }
    }
    // Typing a letter into the port turns it red at once; Apply then
    // changes nothing, not even the valid entries.
    dialog->settings_to_dialog();
    dialog->port->setFocus();
    dialog->port->end(false);
    QTest::keyClick(dialog->port, Qt::Key_O);
    EXPECT_TRUE(Toptions_form::is_red(dialog->port));
    dialog->login->setText(QStringLiteral("someone"));
    dialog->applyClick();
    EXPECT_EQ(settings.login, "user");
    // Deleting the letter restores the colour and Apply works.
    QTest::keyClick(dialog->port, Qt::Key_Backspace);
    EXPECT_FALSE(Toptions_form::is_red(dialog->port));
    dialog->applyClick();
    EXPECT_EQ(settings.login, "someone");
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(options_fixture, interval_check_under_a_comma_locale)
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    dialog->settings_to_dialog();
    EXPECT_EQ(dialog->rec_add_interval->text(), QStringLiteral("1,0000"));
    EXPECT_EQ(dialog->rec_remove_interval->text(), QStringLiteral("168,5000"));
    EXPECT_FALSE(Toptions_form::is_red(dialog->rec_add_interval));

    struct case_t {
        const char* add;
        const char* remove;
        bool red;
    } cases[] = {
        {"1", "1,9", true}, {"1", "2", false}, {"1,5", "1,9", true}, {"1,9", "3", false},
        {"1", "2.5", true}, {"x", "5", true},  {"0,5", "1", false},
    };
    for (const case_t& c : cases) {
        dialog->rec_add_interval->setText(QString::fromUtf8(c.add));
        dialog->rec_remove_interval->setText(QString::fromUtf8(c.remove));
        EXPECT_EQ(Toptions_form::is_red(dialog->rec_add_interval), c.red) << c.add << " " << c.remove;
        EXPECT_EQ(Toptions_form::is_red(dialog->rec_remove_interval), c.red) << c.add << " " << c.remove;
    }
    // The last pair is valid: Apply stores the untruncated values.
    dialog->rec_add_interval->setText(QStringLiteral("0,25"));
    dialog->rec_remove_interval->setText(QStringLiteral("24,5"));
    dialog->applyClick();
    EXPECT_DOUBLE_EQ(settings.rec_add_interval, 0.25);
    EXPECT_DOUBLE_EQ(settings.rec_remove_interval, 24.5);
    // A red interval blocks Apply too.
    dialog->rec_remove_interval->setText(QStringLiteral("0,9"));
    dialog->applyClick();
    EXPECT_DOUBLE_EQ(settings.rec_remove_interval, 24.5);
}

TEST_F(options_fixture, link_mode_bits_survive_show_and_apply)
{
    struct case_t {
        uint32_t link_mode;
        int stream, mode;
    } cases[] = {
        {0x80000001u, 1, 1}, {0u, 0, 0}, {3u, 0, 3}, {0x80000002u, 1, 2},
        // A transport code outside the list shows no selection and is kept.
        {7u, 0, -1}, {0x80000009u, 1, -1},
    };
    for (const case_t& c : cases) {
        settings.link_mode = static_cast<int32_t>(c.link_mode);
        dialog->hide();
        dialog->show();
        EXPECT_EQ(dialog->ipc_stream->currentIndex(), c.stream) << c.link_mode;
        EXPECT_EQ(dialog->ipc_mode->currentIndex(), c.mode) << c.link_mode;
        dialog->applyClick();
        EXPECT_EQ(static_cast<uint32_t>(settings.link_mode), c.link_mode);
    }
    // Choosing in the lists composes the field.
    dialog->ipc_stream->setCurrentIndex(0);
    dialog->ipc_mode->setCurrentIndex(1);
    dialog->applyClick();
    EXPECT_EQ(settings.link_mode, 1);
    dialog->ipc_stream->setCurrentIndex(1);
    dialog->ipc_mode->setCurrentIndex(3);
    dialog->applyClick();
    EXPECT_EQ(static_cast<uint32_t>(settings.link_mode), 0x80000003u);
}

TEST_F(options_fixture, ports_keep_their_low_sixteen_bits_and_apply_copies_everything)
{
    dialog->port->setText(QStringLiteral("65617"));  // 0x10051
    dialog->ipc_port->setText(QStringLiteral("-1"));
    dialog->login->setText(QStringLiteral("viewer"));
    dialog->password->setText(QStringLiteral("secret"));
    dialog->root->setText(QStringLiteral("/srv/www"));
    dialog->sizeof_in->setText(QStringLiteral("4096"));
    dialog->frame_delay->setText(QStringLiteral("250"));
    dialog->main_interval->setText(QStringLiteral("20"));
    dialog->ipc_ip->setText(QStringLiteral("127.0.0.2"));
    dialog->channel->setText(QStringLiteral("2"));
    dialog->con_wait_time->setText(QStringLiteral("1500"));
    dialog->img_size->setCurrentIndex(9);
    dialog->img_quality->setCurrentIndex(2);
    dialog->rec_path->setText(QStringLiteral("/tmp/kestrel-rec/"));
    dialog->applyClick();
    EXPECT_EQ(settings.port, 81);
    EXPECT_EQ(settings.ipc_port, 65535);
    EXPECT_EQ(settings.login, "viewer");
    EXPECT_EQ(settings.password, "secret");
    // A folder typed without its separator still works as a prefix.
    EXPECT_EQ(settings.root, "/srv/www/");
    EXPECT_EQ(settings.sizeof_in, 4096);
    EXPECT_EQ(settings.frame_delay, 250);
    EXPECT_EQ(settings.main_interval, 20);
    EXPECT_EQ(settings.ipc_ip, "127.0.0.2");
    EXPECT_EQ(settings.channel, 2);
    EXPECT_EQ(settings.con_wait_time, 1500);
    EXPECT_EQ(settings.img_size, 9);
    EXPECT_EQ(settings.img_quality, 2);
    EXPECT_EQ(settings.rec_path, "/tmp/kestrel-rec/");
    // The file's own texts stay as read.
    EXPECT_EQ(settings.cfg_root, "");
}

TEST_F(options_fixture, apply_leaves_the_socket_until_the_server_restarts)
{
    const uint16_t new_port = kestrel_test::free_loopback_port();
    ASSERT_NE(new_port, web_port);
    ASSERT_TRUE(accepts(web_port));
    dialog->port->setText(QString::number(new_port));
    dialog->applyClick();
    EXPECT_EQ(settings.port, new_port);
    EXPECT_EQ(web_server.local_port(), web_port);
    EXPECT_TRUE(accepts(web_port));
    EXPECT_FALSE(accepts(new_port));
    // Reopened before the restart, the dialog shows the port in force.
    dialog->hide();
    dialog->show();
    EXPECT_EQ(dialog->port->text(), QString::number(web_port));

    dialog->port->setText(QString::number(new_port));
    dialog->applyClick();
    dialog->restart_serverClick();
    ASSERT_EQ(boxes, std::vector<std::string>{"information: Сервер запущен."});
    EXPECT_EQ(web_server.local_port(), new_port);
    EXPECT_TRUE(accepts(new_port));
    EXPECT_FALSE(accepts(web_port));
    dialog->hide();
    dialog->show();
    EXPECT_EQ(dialog->port->text(), QString::number(new_port));

    // An address that cannot be bound: the warning, and the server down.
    dialog->ip->setText(QStringLiteral("not-an-address"));
    dialog->applyClick();
    dialog->restart_serverClick();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], "warning: Не могу запустить сервер.");
    EXPECT_FALSE(web_server.is_active());
    EXPECT_FALSE(accepts(new_port));
}

TEST_F(options_fixture, demo_button_acts_at_once_without_applying)
{
    form->connect_timer->set_enabled(true);
    form->set_demo_timer_enabled(false);
    dialog->login->setText(QStringLiteral("not-applied"));
    dialog->start_demo->click();
    EXPECT_TRUE(form->demo_timer->enabled());
    EXPECT_FALSE(form->connect_timer->enabled());
    EXPECT_EQ(settings.login, "user");
    // Reconnecting leaves demo mode and reports the camera that is not there.
    dialog->recon_ipc->click();
    EXPECT_FALSE(form->demo_timer->enabled());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "warning: Не могу подключить камеру.");
    EXPECT_FALSE(form->connect_timer->enabled());
}

TEST_F(options_fixture, folder_chooser_adds_the_separator_and_cancel_keeps_the_text)
{
    QString asked_title;
    QString answer = QStringLiteral("/tmp/chosen");
    folder_chooser_hook = [&](const QString& title, const QString&) {
        asked_title = title;
        return answer;
    };
    dialog->browse_rec_path->click();
    EXPECT_EQ(asked_title, QStringLiteral("Выберите папку"));
    EXPECT_EQ(dialog->rec_path->text(), QStringLiteral("/tmp/chosen/"));
    answer = QStringLiteral("/");
    dialog->browse_root->click();
    EXPECT_EQ(dialog->root->text(), QStringLiteral("/"));
    // Cancel: the text stays.
    answer.clear();
    dialog->img_path->setText(QStringLiteral("/keep/me/"));
    dialog->browse_img_path->click();
    EXPECT_EQ(dialog->img_path->text(), QStringLiteral("/keep/me/"));
}

TEST_F(options_fixture, escape_closes_without_applying_and_show_refills)
{
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    dialog->login->setText(QStringLiteral("typed"));
    dialog->port->setText(QStringLiteral("8o"));
    dialog->login->setFocus();
    QTest::keyClick(dialog->login, Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(settings.login, "user");
    dialog->show();
    EXPECT_EQ(dialog->login->text(), QStringLiteral("user"));
    EXPECT_FALSE(Toptions_form::is_red(dialog->port));
    // Return in an entry presses no button.
    dialog->login->setText(QStringLiteral("typed"));
    QTest::keyClick(dialog->login, Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(settings.login, "user");
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
