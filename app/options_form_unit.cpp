// Toptions_form: the dialog's controls at their fixed places, the entry
// checks, moving values between the dialog and the settings, and the
// buttons.
#include "app/options_form_unit.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "app/entry_checks.h"
#include "app/main_form_unit.h"
#include "service/service_core.h"
#include "settings/settings.h"
#include "web/simple_server.h"

Toptions_form* options_form = nullptr;
std::function<QString(const QString& title, const QString& folder)> folder_chooser_hook;

namespace {

// Every group is a column of rows: a label above its entry.
const int group_width = 153;
const int entry_x = 8;
const int entry_width = 137;
const int label_width = group_width - entry_x;
const int entry_height = 22;
const int folder_edit_width = 113;
const int folder_button_width = 27;
const int folder_button_height = 21;
const int row_pitch = 40;
const int label_top = 18;
const int entry_top = 34;

QString text_of(const std::string& text) { return QString::fromStdString(text); }
std::string text_of(const QLineEdit* edit) { return edit->text().toStdString(); }

void set_red(QLineEdit* edit, bool red)
{
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Text, red ? QColor(Qt::red) : QApplication::palette().color(QPalette::Text));
    edit->setPalette(palette);
}

// Selects the item at index, or nothing for a code outside the list.
void select_item(QComboBox* list, int32_t index)
{
    list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

// The list's selected index, or the old code when nothing is selected.
int32_t selected_or(const QComboBox* list, int32_t old_code)
{
    return list->currentIndex() >= 0 ? list->currentIndex() : old_code;
}

}  // namespace

Toptions_form::Toptions_form(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Настройки"));
    // A tool window with only a close box.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(649, 425);
    // The fixed layout is measured for a small face: the longest labels
    // ("Создавать новое через [ч]") fill their column at this size.
    QFont face = font();
    face.setPointSizeF(7.5);
    setFont(face);
    setModal(true);
    // Created in tab order: the groups web, camera, video, photo and
    // connection top to bottom, then the buttons.
    create_web_group();
    create_ipc_group();
    create_rec_group();
    create_img_group();
    create_con_group();
    create_buttons();
    auto* note = new QLabel(QStringLiteral("Примечание: доп. настройки см. в cfg-файле"), this);
    note->setGeometry(8, 400, 633, 17);
}

QGroupBox* Toptions_form::add_group(const char* title, int x, int y, int height)
{
    auto* group = new QGroupBox(QString::fromUtf8(title), this);
    group->setGeometry(x, y, group_width, height);
    return group;
}

QLineEdit* Toptions_form::add_edit(QGroupBox* group, int row, const char* label)
{
    auto* caption = new QLabel(QString::fromUtf8(label), group);
    caption->setGeometry(entry_x, label_top + row * row_pitch, label_width, 16);
    auto* edit = new QLineEdit(group);
    edit->setGeometry(entry_x, entry_top + row * row_pitch, entry_width, entry_height);
    return edit;
}

QLineEdit* Toptions_form::add_checked_edit(QGroupBox* group, int row, const char* label)
{
    QLineEdit* edit = add_edit(group, row, label);
    connect(edit, &QLineEdit::textChanged, this, [this, edit] { xChange(edit); });
    return edit;
}

QLineEdit* Toptions_form::add_interval_edit(QGroupBox* group, int row, const char* label)
{
    QLineEdit* edit = add_edit(group, row, label);
    connect(edit, &QLineEdit::textChanged, this, &Toptions_form::rec_add_intervalChange);
    return edit;
}

QLineEdit* Toptions_form::add_folder_edit(QGroupBox* group, int row, QPushButton*& button,
                                          void (Toptions_form::*handler)())
{
    QLineEdit* edit = add_edit(group, row, "Папка");
    edit->resize(folder_edit_width, entry_height);
    button = new QPushButton(QStringLiteral("..."), group);
    button->setGeometry(entry_x + folder_edit_width, entry_top + row * row_pitch,
                        folder_button_width, folder_button_height);
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, handler);
    return edit;
}

QComboBox* Toptions_form::add_list(QGroupBox* group, int row, const char* label,
                                   const QStringList& items)
{
    auto* caption = new QLabel(QString::fromUtf8(label), group);
    caption->setGeometry(entry_x, label_top + row * row_pitch, label_width, 16);
    auto* list = new QComboBox(group);
    list->addItems(items);
    list->setGeometry(entry_x, entry_top + row * row_pitch, entry_width, entry_height);
    return list;
}

QPushButton* Toptions_form::add_button(const char* caption, int y, void (Toptions_form::*handler)())
{
    auto* button = new QPushButton(QString::fromUtf8(caption), this);
    button->setGeometry(488, y, group_width, 25);
    // Return in an entry must not press a button, as no button is the
    // dialog's default.
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, handler);
    return button;
}

void Toptions_form::create_web_group()
{
    web_GroupBox = add_group("Web-сервер", 8, 8, 385);
    ip = add_edit(web_GroupBox, 0, "IP");
    port = add_checked_edit(web_GroupBox, 1, "Порт");
    login = add_edit(web_GroupBox, 2, "Логин");
    password = add_edit(web_GroupBox, 3, "Пароль");
    root = add_folder_edit(web_GroupBox, 4, browse_root, &Toptions_form::browse_rootClick);
    sizeof_in = add_checked_edit(web_GroupBox, 5, "Буфер приема [B]");
    sizeof_out = add_checked_edit(web_GroupBox, 6, "Буфер передачи [B]");
    frame_delay = add_checked_edit(web_GroupBox, 7, "Время кадра MJPEG [мс]");
    main_interval = add_checked_edit(web_GroupBox, 8, "Время осн. цикла [мс]");
}

void Toptions_form::create_ipc_group()
{
    ipc_GroupBox = add_group("Камера", 168, 8, 305);
    ipc_ip = add_edit(ipc_GroupBox, 0, "IP");
    ipc_port = add_checked_edit(ipc_GroupBox, 1, "Порт");
    ipc_login = add_edit(ipc_GroupBox, 2, "Логин");
    ipc_password = add_edit(ipc_GroupBox, 3, "Пароль");
    channel = add_checked_edit(ipc_GroupBox, 4, "Канал");
    ipc_stream = add_list(ipc_GroupBox, 5, "Поток", {QStringLiteral("Main"), QStringLiteral("Sub")});
    ipc_mode = add_list(ipc_GroupBox, 6, "Режим",
                        {QStringLiteral("TCP"), QStringLiteral("UDP"), QStringLiteral("Multi-play"),
                         QStringLiteral("RTP")});
}

void Toptions_form::create_rec_group()
{
    rec_GroupBox = add_group("Видео", 328, 8, 145);
    rec_add_interval = add_interval_edit(rec_GroupBox, 0, "Создавать новое через [ч]");
    rec_remove_interval = add_interval_edit(rec_GroupBox, 1, "Удалять старое через [ч]");
    rec_path = add_folder_edit(rec_GroupBox, 2, browse_rec_path, &Toptions_form::browse_rec_pathClick);
}

void Toptions_form::create_img_group()
{
    img_GroupBox = add_group("Фото", 328, 160, 153);
    // The photo size names in code order.
    const QStringList sizes = {
        QStringLiteral("CIF"), QStringLiteral("QCIF"), QStringLiteral("D1"),
        QStringLiteral("UXGA(1600x1200)"), QStringLiteral("SVGA(800x600)"),
        QStringLiteral("HD720p(1280x720)"), QStringLiteral("VGA"), QStringLiteral("XVGA"),
        QStringLiteral("HD900p"), QStringLiteral("HD1080"), QStringLiteral("2560x1920"),
        QStringLiteral("1600x304"), QStringLiteral("2048x1536"), QStringLiteral("2448x2048"),
        QStringLiteral("2448x1200"), QStringLiteral("2448x800"), QStringLiteral("XGA(1024x768)"),
        QStringLiteral("SXGA(1280x1024)"), QStringLiteral("WD1(960x576/960x480)"),
        QStringLiteral("1080i")};
    img_size = add_list(img_GroupBox, 0, "Размер", sizes);
    img_quality = add_list(img_GroupBox, 1, "Качество",
                           {QStringLiteral("Лучшее"), QStringLiteral("Хорошее"), QStringLiteral("Средее")});
    img_path = add_folder_edit(img_GroupBox, 2, browse_img_path, &Toptions_form::browse_img_pathClick);
}

void Toptions_form::create_con_group()
{
    con_GroupBox = add_group("Подключение", 488, 8, 145);
    con_wait_time = add_checked_edit(con_GroupBox, 0, "Таймаут [мс]");
    con_try_times = add_checked_edit(con_GroupBox, 1, "Кол-во попыток");
    recon_interval = add_checked_edit(con_GroupBox, 2, "Вр. между попытками [мс]");
}

void Toptions_form::create_buttons()
{
    apply = add_button("Применить", 160, &Toptions_form::applyClick);
    restart_server = add_button("Перезапустить сервер", 192, &Toptions_form::restart_serverClick);
    recon_ipc = add_button("Переподключить камеру", 224, &Toptions_form::recon_ipcClick);
    start_demo = add_button("Демо-режим", 256, &Toptions_form::start_demoClick);
}

void Toptions_form::setVisible(bool visible)
{
    // Moved before it shows, the dialog is not placed over its parent by
    // QDialog: that place changes with the main window's mode and size.
    // Before the first show the frame is not known yet and counts as none.
    if (visible && !isVisible()) {
        const QWidget* owner = parentWidget();
        const QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
        if (screen != nullptr)
            move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, frameGeometry().size(),
                                     screen->availableGeometry())
                     .topLeft());
    }
    QDialog::setVisible(visible);
}

void Toptions_form::showEvent(QShowEvent* event)
{
    FormShow();
    QDialog::showEvent(event);
}

void Toptions_form::FormShow() { settings_to_dialog(); }

void Toptions_form::keyPressEvent(QKeyEvent* event)
{
    if (FormShortCut(event->key())) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool Toptions_form::FormShortCut(int key)
{
    if (key != Qt::Key_Escape)
        return false;
    reject();
    return true;
}

bool Toptions_form::is_red(const QLineEdit* edit)
{
    return edit->palette().color(QPalette::Text) == QColor(Qt::red);
}

char Toptions_form::decimal_separator() const
{
    // The user's regional separator; a non-ASCII one cannot be typed into
    // the byte-wise parser, so the point stands in for it.
    const QString point = QLocale().decimalPoint();
    return point.size() == 1 && point[0].unicode() < 128 ? static_cast<char>(point[0].unicode()) : '.';
}

void Toptions_form::xChange(QLineEdit* edit)
{
    int32_t value = 0;
    set_red(edit, !parse_int32(text_of(edit), value));
}

void Toptions_form::rec_add_intervalChange()
{
    const bool valid =
        intervals_valid(text_of(rec_add_interval), text_of(rec_remove_interval), decimal_separator());
    set_red(rec_add_interval, !valid);
    set_red(rec_remove_interval, !valid);
}

// The markers follow the shown values even where a text did not change
// (setText emits no change then).
void Toptions_form::check_all()
{
    for (QLineEdit* edit : {port, sizeof_in, sizeof_out, frame_delay, main_interval, ipc_port, channel,
                            con_wait_time, con_try_times, recon_interval})
        xChange(edit);
    rec_add_intervalChange();
}

void Toptions_form::settings_to_dialog()
{
    // The address and port in force, not ones applied but not yet used by
    // a restart of the server.
    ip->setText(text_of(web_server.local_address_text()));
    port->setText(QString::number(web_server.local_port()));
    login->setText(text_of(settings.login));
    password->setText(text_of(settings.password));
    root->setText(text_of(settings.root));
    sizeof_in->setText(QString::number(settings.sizeof_in));
    sizeof_out->setText(QString::number(settings.sizeof_out));
    frame_delay->setText(QString::number(settings.frame_delay));
    main_interval->setText(QString::number(settings.main_interval));

    ipc_ip->setText(text_of(settings.ipc_ip));
    ipc_port->setText(QString::number(settings.ipc_port));
    ipc_login->setText(text_of(settings.ipc_login));
    ipc_password->setText(text_of(settings.ipc_password));
    channel->setText(QString::number(settings.channel));
    select_item(ipc_stream, link_stream_index(settings.link_mode));
    select_item(ipc_mode, link_transport_code(settings.link_mode));

    con_wait_time->setText(QString::number(settings.con_wait_time));
    con_try_times->setText(QString::number(settings.con_try_times));
    recon_interval->setText(QString::number(settings.recon_interval));

    const char separator = decimal_separator();
    rec_add_interval->setText(text_of(format_fixed4(settings.rec_add_interval, separator)));
    rec_remove_interval->setText(text_of(format_fixed4(settings.rec_remove_interval, separator)));
    rec_path->setText(text_of(settings.rec_path));
    select_item(img_size, settings.img_size);
    select_item(img_quality, settings.img_quality);
    img_path->setText(text_of(settings.img_path));
    // Long folders show from their start.
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        edit->setCursorPosition(0);
    check_all();
}

int32_t Toptions_form::integer_of(const QLineEdit* edit) const
{
    int32_t value = 0;
    parse_int32(text_of(edit), value);
    return value;
}

double Toptions_form::decimal_of(const QLineEdit* edit) const
{
    double value = 0.0;
    parse_decimal(text_of(edit), decimal_separator(), value);
    return value;
}

void Toptions_form::applyClick()
{
    for (const QLineEdit* edit : {port, sizeof_in, sizeof_out, frame_delay, main_interval, ipc_port,
                                  channel, con_wait_time, con_try_times, recon_interval,
                                  rec_add_interval, rec_remove_interval})
        if (is_red(edit))
            return;
    dialog_to_settings();
}

// The core takes the web values under the web server's lock.
void Toptions_form::dialog_to_settings()
{
    settings_t wanted = settings;
    wanted.ip = text_of(ip);
    wanted.port = static_cast<uint16_t>(integer_of(port));
    wanted.login = text_of(login);
    wanted.password = text_of(password);
    wanted.root = as_folder_prefix(text_of(root));
    wanted.sizeof_in = integer_of(sizeof_in);
    wanted.sizeof_out = integer_of(sizeof_out);
    wanted.frame_delay = integer_of(frame_delay);
    wanted.main_interval = integer_of(main_interval);

    wanted.ipc_ip = text_of(ipc_ip);
    wanted.ipc_port = static_cast<uint16_t>(integer_of(ipc_port));
    wanted.ipc_login = text_of(ipc_login);
    wanted.ipc_password = text_of(ipc_password);
    wanted.channel = integer_of(channel);
    wanted.link_mode =
        compose_link_mode(ipc_stream->currentIndex(), ipc_mode->currentIndex(), settings.link_mode);
    wanted.con_wait_time = integer_of(con_wait_time);
    wanted.con_try_times = integer_of(con_try_times);
    wanted.recon_interval = integer_of(recon_interval);
    wanted.rec_add_interval = decimal_of(rec_add_interval);
    wanted.rec_remove_interval = decimal_of(rec_remove_interval);
    wanted.rec_path = as_folder_prefix(text_of(rec_path));
    wanted.img_size = selected_or(img_size, settings.img_size);
    wanted.img_quality = selected_or(img_quality, settings.img_quality);
    wanted.img_path = as_folder_prefix(text_of(img_path));
    service_core_t::apply_settings(wanted);
}

void Toptions_form::browse_into(QLineEdit* edit)
{
    QString folder = edit->text();
    if (browse_folder(this, QStringLiteral("Выберите папку"), folder))
        edit->setText(folder);
}

void Toptions_form::browse_rootClick() { browse_into(root); }
void Toptions_form::browse_rec_pathClick() { browse_into(rec_path); }
void Toptions_form::browse_img_pathClick() { browse_into(img_path); }

void Toptions_form::restart_serverClick()
{
    if (main_form != nullptr)
        main_form->restart_web_server();
}

void Toptions_form::recon_ipcClick()
{
    if (main_form != nullptr)
        main_form->reconnect_camera();
}

void Toptions_form::start_demoClick()
{
    if (main_form != nullptr)
        main_form->enter_demo_mode();
}

bool browse_folder(QWidget* owner, const QString& title, QString& folder)
{
    QString chosen;
    if (folder_chooser_hook) {
        chosen = folder_chooser_hook(title, folder);
    } else {
        // Opens at the entry's folder when it exists, so a person starts
        // from what is set.
        const QString start = QDir(folder).exists() && !folder.isEmpty() ? folder : QString();
        chosen = QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
    }
    if (!chosen.isEmpty())
        folder = QString::fromStdString(as_folder_prefix(chosen.toStdString()));
    return true;
}
