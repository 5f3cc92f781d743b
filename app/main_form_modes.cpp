// Tmain_form: the window's presentation modes (full screen, compact, on top,
// tray, transparency), the mouse (drag, edge resize, double click) and the
// idle cursor, and the saved modes applied at the end of start-up.
// GUI thread only.
#include "app/main_form_unit.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QOperatingSystemVersion>
#include <QScreen>
#include <QStyle>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

#include "service/form_timer.h"
#include "player/render.h"
#include "player/video_state.h"
#include "settings/settings.h"

namespace {

// Pointer travel, in pixels, with the left button held before a press
// becomes a drag: small enough that the window follows at once, large
// enough that the jitter of a double click does not start a drag.
const int drag_threshold_px = 4;

void show_in_front(QWidget* window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

// The screen number of $DISPLAY (":99.1" is screen 1), 0 when none is given.
int x11_screen_number()
{
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr)
        return 0;
    const std::string text(display);
    const size_t colon = text.rfind(':');
    const size_t dot = text.find('.', colon == std::string::npos ? 0 : colon);
    return dot == std::string::npos ? 0 : std::atoi(text.c_str() + dot + 1);
}

// An X server composites when a compositing manager owns the selection
// _NET_WM_CM_S<screen>; only then does a window's opacity show.
bool x11_composites()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return false;
    xcb_connection_t* connection = x11->connection();
    const std::string name = "_NET_WM_CM_S" + std::to_string(x11_screen_number());
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, static_cast<uint16_t>(name.size()), name.c_str()),
        nullptr);
    if (atom == nullptr)
        return false;
    bool owned = false;
    if (atom->atom != XCB_ATOM_NONE) {
        xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
        owned = owner != nullptr && owner->owner != XCB_WINDOW_NONE;
        std::free(owner);
    }
    std::free(atom);
    return owned;
}

// What the transparency rules call the operating system's major version:
// the real one on Windows; elsewhere 6 when translucent windows show
// (Wayland always composites; X only with a compositing manager), else 5.
uint32_t windowing_major_version()
{
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("windows"))
        return static_cast<uint32_t>(QOperatingSystemVersion::current().majorVersion());
    if (platform.startsWith(QLatin1String("wayland")))
        return 6;
    if (platform == QLatin1String("xcb"))
        return x11_composites() ? 6 : 5;
    return 5;
}

}  // namespace

// Start-up: each saved mode is applied by clicking its item; then opacity,
// and how the window first appears.
void Tmain_form::apply_window_modes()
{
    if (full_screen_mode_itm->isChecked()) {
        full_screen_mode_itm->setChecked(false);
        full_screen_mode_itm->trigger();
    }
    if (stay_on_top_mode_itm->isChecked()) {
        stay_on_top_mode_itm->setChecked(false);
        stay_on_top_mode_itm->trigger();
    }
    // Runs once either way, so the window style matches the saved flag.
    compact_mode_itm->setChecked(!compact_mode_itm->isChecked());
    compact_mode_itm->trigger();
    if (tray_mode_itm->isChecked()) {
        tray_mode_itm->setChecked(false);
        tray_mode_itm->trigger();
    }
    os_major_version = windowing_major_version();
    update_alpha_itm();

    const int32_t opacity = opacity_value();
    if (opacity != 0)
        set_transparency(core.demo_mode() || os_major_version >= 6);
    if (opacity == 255)
        set_transparency(false);

    if (settings.minimized) {
        // Without a tray icon to bring it back, a window that only lived in
        // the tray would be out of reach: it starts minimised instead.
        if (!tray_mode_itm->isChecked() || tray == nullptr)
            showMinimized();
        return;
    }
    show_in_front(this);
}

void Tmain_form::update_alpha_itm()
{
    alpha_itm->setVisible(core.demo_mode() || os_major_version >= 6);
}

int32_t Tmain_form::opacity_value() const { return opacity_for(settings.alpha); }

void Tmain_form::set_transparency(bool on)
{
    transparency_on = on;
    setWindowOpacity(on ? opacity_value() / 255.0 : 1.0);
}

void Tmain_form::set_frameless(bool on)
{
    // Changing window flags hides a visible window; callers show it again.
    setWindowFlag(Qt::FramelessWindowHint, on);
}

QRect Tmain_form::monitor_rect_for() const
{
    std::vector<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens.push_back(screen->geometry());
    const QScreen* primary = QGuiApplication::primaryScreen();
    const QRect fallback = primary != nullptr ? primary->geometry() : QRect(0, 0, 800, 600);
    return best_monitor(frameGeometry(), screens, fallback);
}

void Tmain_form::full_screen_mode_itmClick()
{
    const bool visible = isVisible();
    if (full_screen_mode_itm->isChecked()) {
        saved_maximized = isMaximized();
        saved_placement = saved_maximized ? normalGeometry() : geometry();
        const QRect target = monitor_rect_for();
        hide();
        setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowMinimized));
        set_frameless(true);
        setGeometry(target);
    } else {
        if (!compact_mode_itm->isChecked()) {
            hide();
            set_frameless(false);
        }
        setGeometry(saved_placement);
        if (saved_maximized)
            setWindowState(windowState() | Qt::WindowMaximized);
    }
    if (visible)
        show_in_front(this);
}

void Tmain_form::compact_mode_itmClick()
{
    // In full screen only the check mark changes; the style follows when
    // full screen is left.
    if (full_screen_mode_itm->isChecked())
        return;
    // A top-level widget's geometry is its client area on the screen:
    // setting it back after the frame comes or goes keeps the picture where
    // it was (the frame's offset is taken from the window manager's frame
    // extents).
    const QRect client = geometry();
    const bool visible = isVisible();
    hide();
    set_frameless(compact_mode_itm->isChecked());
    setGeometry(client);
    if (visible)
        show_in_front(this);
}

void Tmain_form::stay_on_top_mode_itmClick()
{
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, stay_on_top_mode_itm->isChecked());
    if (visible)
        show();
}

bool Tmain_form::tray_icon(tray_op_t op)
{
    switch (op) {
    case tray_add:
        if (tray != nullptr || !QSystemTrayIcon::isSystemTrayAvailable())
            return false;
        tray = new QSystemTrayIcon(this);
        connect(tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                tray_left_click();
            else if (reason == QSystemTrayIcon::Context)
                tray_right_click();
        });
        return true;
    case tray_modify:
        if (tray == nullptr)
            return false;
        tray->setIcon(windowIcon().isNull() ? QApplication::style()->standardIcon(QStyle::SP_ComputerIcon)
                                            : windowIcon());
        // The tip field holds 128 bytes with its terminating zero.
        tray->setToolTip(QString::fromUtf8(windowTitle().toUtf8().left(127)));
        tray->show();
        return true;
    case tray_delete:
        if (tray == nullptr)
            return false;
        delete tray;
        tray = nullptr;
        return true;
    }
    return false;
}

void Tmain_form::tray_left_click()
{
    if (isVisible())
        hide();
    else
        show_in_front(this);
}

void Tmain_form::tray_right_click()
{
    if (isVisible()) {
        raise();
        activateWindow();
    }
    PopupMenu->popup(QCursor::pos());
}

void Tmain_form::tray_mode_itmClick()
{
    // A tool window has no taskbar button: the program shows only as the
    // tray icon.
    const bool visible = isVisible();
    const Qt::WindowType type = tray_mode_itm->isChecked() ? Qt::Tool : Qt::Window;
    if (tray_mode_itm->isChecked()) {
        tray_icon(tray_add);
        tray_icon(tray_modify);
    } else {
        tray_icon(tray_delete);
    }
    if ((windowFlags() & Qt::WindowType_Mask) != type)
        setWindowFlags((windowFlags() & ~Qt::WindowType_Mask) | type);
    if (visible)
        show();
}

void Tmain_form::changeEvent(QEvent* event)
{
    // While in the tray, minimising hides the window instead (the tray
    // icon brings it back).
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
        tray_mode_itm->isChecked() && tray != nullptr) {
        QMetaObject::invokeMethod(this, [this] {
            setWindowState(windowState() & ~Qt::WindowMinimized);
            hide();
        }, Qt::QueuedConnection);
    }
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        follow_visibility();
}

void Tmain_form::set_alpha(int32_t alpha)
{
    settings.alpha = alpha;
    // The web server thread draws it into demo snapshots.
    player_lock.enter();
    overlay_alpha = alpha;
    player_lock.leave();
}

void Tmain_form::alpha_inc_itmClick()
{
    if (!alpha_itm->isVisible())
        return;
    set_alpha(alpha_step_up(settings.alpha));
    if (opacity_value() != 0)
        set_transparency(core.demo_mode() || os_major_version >= 6);
    else
        set_transparency(transparency_on);
}

void Tmain_form::alpha_dec_itmClick()
{
    if (!alpha_itm->isVisible())
        return;
    set_alpha(alpha_step_down(settings.alpha));
    set_transparency(opacity_value() == 255 ? false : transparency_on);
}

void Tmain_form::FormMouseDown(int x, int y)
{
    const uint32_t now = tick_count();
    const auto double_click_ms =
        static_cast<uint32_t>(QGuiApplication::styleHints()->mouseDoubleClickInterval());
    if (pressed_before && is_double_click(now, last_press_tick, double_click_ms)) {
        drag_pending = false;
        full_screen_mode_itm->trigger();
        return;
    }
    if (!isMaximized() && !full_screen_mode_itm->isChecked()) {
        press = press_flags_at(x, y, width(), height(), edge_zone, compact_mode_itm->isChecked());
        drag_pending = true;
        press_point = QPoint(x, y);
    }
    last_press_tick = now;
    pressed_before = true;
}

void Tmain_form::start_system_drag()
{
    QWindow* window = windowHandle();
    if (window == nullptr)
        return;
    const bool started = press.move ? window->startSystemMove()
                                    : window->startSystemResize(drag_edges(press));
    if (started)
        return;
    // The platform has no system drag (no window manager, offscreen): the
    // window follows the pointer by itself until the button is released.
    manual_drag = true;
    drag_origin = mapToGlobal(press_point);
    drag_start_geometry = geometry();
}

void Tmain_form::follow_manual_drag(const QPoint& global)
{
    const QPoint delta = global - drag_origin;
    QRect target = drag_start_geometry;
    if (press.move) {
        target.moveTopLeft(target.topLeft() + delta);
    } else {
        const Qt::Edges edges = drag_edges(press);
        const int smallest = 2 * edge_zone;
        if (edges & Qt::RightEdge)
            target.setRight(std::max(target.left() + smallest, target.right() + delta.x()));
        if (edges & Qt::BottomEdge)
            target.setBottom(std::max(target.top() + smallest, target.bottom() + delta.y()));
        if (edges & Qt::LeftEdge)
            target.setLeft(std::min(target.right() - smallest, target.left() + delta.x()));
        if (edges & Qt::TopEdge)
            target.setTop(std::min(target.bottom() - smallest, target.top() + delta.y()));
    }
    setGeometry(target);
}

void Tmain_form::FormMouseMove(int x, int y, bool left_button_down)
{
    if (drag_pending && left_button_down &&
        (QPoint(x, y) - press_point).manhattanLength() >= drag_threshold_px) {
        drag_pending = false;
        start_system_drag();
    }
    if (manual_drag && left_button_down)
        follow_manual_drag(mapToGlobal(QPoint(x, y)));
    if (compact_mode_itm->isChecked())
        wanted_cursor = edge_cursor(x, y, width(), height(), edge_zone);
    // A hidden cursor (the blank shape) differs from every wanted shape.
    if (cursor().shape() != wanted_cursor)
        setCursor(wanted_cursor);
    idle_ticks = 0;
}

void Tmain_form::FormMouseUp()
{
    press = press_flags_t();
    drag_pending = false;
    manual_drag = false;
}

void Tmain_form::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        const QPoint at = event->position().toPoint();
        FormMouseDown(at.x(), at.y());
    }
}

void Tmain_form::mouseDoubleClickEvent(QMouseEvent* event)
{
    // Qt hands the second press of a double click here instead of to
    // mousePressEvent; it is a press like any other.
    mousePressEvent(event);
}

void Tmain_form::mouseReleaseEvent(QMouseEvent*) { FormMouseUp(); }

void Tmain_form::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    FormMouseMove(at.x(), at.y(), (event->buttons() & Qt::LeftButton) != 0);
}

void Tmain_form::cursor_timerTimer()
{
    if (cursor().shape() == Qt::BlankCursor)
        return;
    if (++idle_ticks >= 5)
        setCursor(Qt::BlankCursor);
}
