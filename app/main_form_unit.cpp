// Tmain_form: its construction with the core's start-up, the close, the
// paint and resize path, and the camera connection handlers.
#include "app/main_form_unit.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QShowEvent>
#include <QHideEvent>
#include <QScreen>
#include <QStyle>

#include "app/message_box.h"
#include "app/options_form_unit.h"
#include "player/render.h"
#include "player/video_state.h"
#include "service/form_timer.h"
#include "service/headless.h"
#include "settings/settings.h"
#include "web/simple_server.h"

Tmain_form* main_form = nullptr;

Tmain_form::Tmain_form()
    : own_core(std::make_unique<service_core_t>()), core(*own_core)
{
    core.open();
    start_up();
}

Tmain_form::Tmain_form(service_core_t& opened_core) : core(opened_core) { start_up(); }

// The window is built, the core starts with it as its face, and the saved
// window modes apply last.
void Tmain_form::start_up()
{
    main_form = this;
    create_components();

    // Interaction state; a first press within five seconds of start is not
    // taken as the second half of a double click.
    last_press_tick = tick_count() + 5000;

    player_window = runs_without_window() ? nullptr : this;
    core.start(this);
    demo_timer = core.demo_timer;
    rec_timer = core.rec_timer;
    connect_timer = core.connect_timer;
    apply_cfg();

    if (!runs_without_window()) {
        // Centred on the screen when first shown.
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                            screen->availableGeometry()));
        apply_window_modes();
    }
}

Tmain_form::~Tmain_form()
{
    FormCloseQuery();
    if (main_form == this)
        main_form = nullptr;
}

void Tmain_form::create_components()
{
    setWindowTitle(QStringLiteral("kestrel"));
    // The window paints every pixel itself: no background erase, no flicker.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);

    cursor_timer = new form_timer_t(1000, true, [this] { cursor_timerTimer(); }, this);
    create_menu();
}

void Tmain_form::create_menu()
{
    PopupMenu = new QMenu(this);
    auto item = [this](const char* caption, void (Tmain_form::*handler)()) {
        QAction* action = PopupMenu->addAction(QString::fromUtf8(caption));
        connect(action, &QAction::triggered, this, handler);
        // Added to the window too, so that the shortcuts work while the menu
        // is closed.
        addAction(action);
        return action;
    };
    options_itm = item("Настройки...", &Tmain_form::options_itmClick);
    PopupMenu->addSeparator();
    start_stop_rec_itm = item("Запустить запись видео", &Tmain_form::start_stop_rec_itmClick);
    start_stop_rec_itm->setShortcut(QKeySequence(Qt::Key_F5));
    save_img_itm = item("Сохранить фото", &Tmain_form::save_img_itmClick);
    save_img_itm->setShortcut(QKeySequence(Qt::Key_F9));
    N2 = PopupMenu->addSeparator();
    full_screen_mode_itm = item("На весь экран", &Tmain_form::full_screen_mode_itmClick);
    // Alt with the main Return key and with the keypad's Enter alike.
    full_screen_mode_itm->setShortcuts({QKeySequence(Qt::ALT | Qt::Key_Return),
                                        QKeySequence(Qt::ALT | Qt::Key_Enter),
                                        QKeySequence(QKeyCombination(Qt::AltModifier | Qt::KeypadModifier,
                                                                     Qt::Key_Enter))});
    stay_on_top_mode_itm = item("Поверх всех окон", &Tmain_form::stay_on_top_mode_itmClick);
    compact_mode_itm = item("Компактный режим", &Tmain_form::compact_mode_itmClick);
    tray_mode_itm = item("Поместить в трей", &Tmain_form::tray_mode_itmClick);
    for (QAction* mode : {full_screen_mode_itm, stay_on_top_mode_itm, compact_mode_itm, tray_mode_itm})
        mode->setCheckable(true);

    alpha_menu = PopupMenu->addMenu(QStringLiteral("Прозрачность"));
    alpha_itm = alpha_menu->menuAction();
    alpha_inc_itm = alpha_menu->addAction(QStringLiteral("+5%"));
    alpha_inc_itm->setShortcut(QKeySequence(Qt::Key_PageUp));
    connect(alpha_inc_itm, &QAction::triggered, this, &Tmain_form::alpha_inc_itmClick);
    addAction(alpha_inc_itm);
    alpha_dec_itm = alpha_menu->addAction(QStringLiteral("-5%"));
    alpha_dec_itm->setShortcut(QKeySequence(Qt::Key_PageDown));
    connect(alpha_dec_itm, &QAction::triggered, this, &Tmain_form::alpha_dec_itmClick);
    addAction(alpha_dec_itm);
    PopupMenu->addSeparator();
    close = item("Закрыть", &Tmain_form::closeClick);

    connect(PopupMenu, &QMenu::aboutToShow, this, &Tmain_form::PopupMenuPopup);
}

// The keys of the file that act on the window at once.
void Tmain_form::apply_cfg()
{
    full_screen_mode_itm->setChecked(settings.full_screen_mode);
    stay_on_top_mode_itm->setChecked(settings.stay_on_top_mode);
    compact_mode_itm->setChecked(settings.compact_mode);
    tray_mode_itm->setChecked(settings.tray_mode);
    resize(settings.width, settings.height);
}

void Tmain_form::restart_web_server()
{
    if (core.restart_web_server())
        show_information(this, "Сервер запущен.");
    else
        show_warning(this, "Не могу запустить сервер.");
}

void Tmain_form::set_demo_timer_enabled(bool on) { core.set_demo_mode(on); }

// PgUp and PgDn work in demo mode without the menu opened first.
void Tmain_form::demo_changed() { update_alpha_itm(); }

bool Tmain_form::FormCloseQuery()
{
    core.close();
    return true;
}

void Tmain_form::window_settings(settings_t& live)
{
    live.full_screen_mode = full_screen_mode_itm->isChecked();
    live.stay_on_top_mode = stay_on_top_mode_itm->isChecked();
    live.compact_mode = compact_mode_itm->isChecked();
    live.tray_mode = tray_mode_itm->isChecked();
    live.minimized = !isVisible();
    live.width = width();
    live.height = height();
}

void Tmain_form::closing()
{
    if (tray_mode_itm->isChecked())
        tray_icon(tray_delete);
}

void Tmain_form::stop_looking()
{
    if (looking)
        player_hold_pictures(false);
    looking = false;
    back_buffer = QImage();
}

// The busy cursor for the life of a connection attempt.
void Tmain_form::camera_busy(bool on)
{
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void Tmain_form::closeEvent(QCloseEvent* event)
{
    FormCloseQuery();
    event->accept();
    // A daemon's window was never shown, so closing it does not end the
    // message loop by itself.
    QCoreApplication::quit();
}

void Tmain_form::closeClick() { QWidget::close(); }

void Tmain_form::reconnect_camera()
{
    core.release_camera();
    set_demo_timer_enabled(false);
    core.apply_connect_settings();
    if (opacity_value() != 0)
        set_transparency(os_major_version >= 6);

    const bool connected = core.try_connect_camera();
    if (!connected) {
        repaint();
        show_warning(this, "Не могу подключить камеру.");
        return;
    }
    show_information(this, "Камера подключена.");
    if (settings.rec_active) {
        const bool was_recording = core.recording();
        core.toggle_recording();
        if (!was_recording && !core.recording())
            show_warning(this, "Не могу запустить запись видео.");
    }
}

void Tmain_form::options_itmClick()
{
    if (options_form != nullptr)
        options_form->exec();
}

void Tmain_form::PopupMenuPopup()
{
    show_recording_state();
    alpha_itm->setText(QStringLiteral("Прозрачность ") + QString::number(settings.alpha) +
                       QStringLiteral("%"));
    show_preview_items(preview_handle >= 0);
    update_alpha_itm();
}

// The recording and photo items leave the menu rather than being hidden: a
// hidden action is a disabled one, and its shortcut would stay dead until
// the menu showed it again. Kept by the window, F5/F6 and F9 reach their
// handlers whenever a preview runs.
void Tmain_form::show_preview_items(bool on)
{
    if (on) {
        PopupMenu->insertActions(N2, {start_stop_rec_itm, save_img_itm});
        return;
    }
    PopupMenu->removeAction(start_stop_rec_itm);
    PopupMenu->removeAction(save_img_itm);
}

void Tmain_form::contextMenuEvent(QContextMenuEvent* event)
{
    PopupMenu->exec(event->globalPos());
}

// Painting: the player's picture when there is one, else the fallback
// picture composed in the back buffer and copied in one block.
void Tmain_form::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int w = width();
    const int h = height();
    if (preview_handle >= 0) {
        bool drawn = false;
        player_lock.enter();
        if (player_port >= 0 && player_has_picture(player_port) != 0) {
            active_painter = &painter;
            player_refresh(player_port);
            active_painter = nullptr;
            drawn = true;
        }
        player_lock.leave();
        if (!drawn)
            paint_fallback(painter, w, h);
        return;
    }
    paint_fallback(painter, w, h);
}

void Tmain_form::paint_fallback(QPainter& painter, int w, int h)
{
    if (back_buffer.isNull())
        return;
    {
        QPainter canvas(&back_buffer);
        fill_background(canvas, w, h);
        if (preview_handle < 0 && core.demo_mode()) {
            overlay_info_t info;
            info.address = web_server.local_address_text();
            info.port = web_server.local_port();
            info.active = web_server.is_active();
            info.alpha = settings.alpha;
            draw_info_overlay(canvas, w, h, info);
        } else {
            draw_no_signal(canvas, w, h);
        }
    }
    painter.drawImage(0, 0, back_buffer, 0, 0, w, h);
}

void Tmain_form::draw_picture(const uint8_t* bgra, int32_t width_px, int32_t height_px,
                              int32_t stride)
{
    if (active_painter == nullptr || bgra == nullptr || width_px <= 0 || height_px <= 0)
        return;
    // BGRA bytes in memory are Format_RGB32 on a little-endian machine.
    const QImage picture(bgra, width_px, height_px, stride, QImage::Format_RGB32);
    // The player converts each picture at the client size: copied as it is.
    // Only a picture smaller than the window, or one made before a resize,
    // is scaled here.
    if (width_px == width() && height_px == height()) {
        active_painter->drawImage(0, 0, picture);
        return;
    }
    active_painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
    active_painter->drawImage(QRect(0, 0, width(), height()), picture);
}

bool Tmain_form::drawing_size(int32_t* width_px, int32_t* height_px)
{
    *width_px = surface_width.load();
    *height_px = surface_height.load();
    return *width_px > 0 && *height_px > 0;
}

// The player decodes for the window only while it can be seen: not while it
// is hidden (daemon mode, the tray) or minimised.
void Tmain_form::follow_visibility()
{
    const bool visible = !core.is_closed() && isVisible() && !isMinimized();
    if (visible == looking)
        return;
    looking = visible;
    player_hold_pictures(visible);
}

void Tmain_form::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    follow_visibility();
}

void Tmain_form::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    follow_visibility();
}

void Tmain_form::picture_ready(int32_t)
{
    // Called on the decode thread: post one repaint at a time to the GUI
    // thread, so a busy GUI never collects a queue of them.
    if (repaint_posted.exchange(true))
        return;
    QMetaObject::invokeMethod(this, [this] {
        repaint_posted = false;
        update();
    }, Qt::QueuedConnection);
}

void Tmain_form::resizeEvent(QResizeEvent* event)
{
    const QSize size = event->size();
    player_lock.enter();
    client_width = size.width();
    client_height = size.height();
    player_lock.leave();
    surface_width = size.width();
    surface_height = size.height();
    back_buffer = QImage(size, QImage::Format_RGB32);
    repaint();
}
