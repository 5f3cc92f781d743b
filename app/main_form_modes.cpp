// Tmain_form: the window's presentation modes (full screen, compact, on top,
// tray, transparency), the mouse and the idle cursor. GUI thread only.
#include "app/main_form_unit.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QWindow>

#include "app/form_timer.h"
#include "camera/render.h"
#include "settings/settings.h"

namespace {

// Re-applies window flags; Qt hides a window whose flags change.
void set_flag(QWidget* window, Qt::WindowType flag, bool on)
{
    const bool visible = window->isVisible();
    window->setWindowFlag(flag, on);
    if (visible)
        window->show();
}

void show_in_front(QWidget* window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace

void Tmain_form::apply_window_modes()
{
    if (full_screen_mode_itm->isChecked()) {
        full_screen_mode_itm->setChecked(false);
        full_screen_mode_itmClick();
    }
    if (stay_on_top_mode_itm->isChecked()) {
        stay_on_top_mode_itm->setChecked(false);
        stay_on_top_mode_itmClick();
    }
    // Runs once either way, so the window style matches the saved flag.
    compact_mode_itm->setChecked(!compact_mode_itm->isChecked());
    compact_mode_itmClick();
    if (tray_mode_itm->isChecked()) {
        tray_mode_itm->setChecked(false);
        tray_mode_itmClick();
    }
    os_major_version = QGuiApplication::platformName() == QLatin1String("xcb") ||
                               QGuiApplication::platformName() == QLatin1String("wayland")
                           ? 6
                           : 5;

    const int32_t opacity = opacity_value();
    if (opacity != 0)
        set_transparency(demo_timer->enabled() || os_major_version >= 6);
    if (opacity == 255)
        set_transparency(false);

    if (settings.minimized) {
        if (!tray_mode_itm->isChecked())
            showMinimized();
        return;
    }
    show_in_front(this);
}

int32_t Tmain_form::opacity_value() const
{
    // Kept within 0..255 also for an alpha outside 0..100 from the file.
    const int32_t alpha = std::clamp(settings.alpha, 0, 100);
    return (100 - alpha) * 255 / 100;
}

void Tmain_form::set_transparency(bool on)
{
    transparency_on = on;
    setWindowOpacity(on ? opacity_value() / 255.0 : 1.0);
}

QRect Tmain_form::monitor_rect_for() const
{
    QRect best = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry()
                                                  : QRect(0, 0, 800, 600);
    long long best_area = -1;
    const QRect window_rect = frameGeometry();
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect overlap = screen->geometry().intersected(window_rect);
        const long long area = static_cast<long long>(overlap.width()) * overlap.height();
        if (!overlap.isEmpty() && area > best_area) {
            best_area = area;
            best = screen->geometry();
        }
    }
    return best;
}

void Tmain_form::full_screen_mode_itmClick()
{
    const bool visible = isVisible();
    if (full_screen_mode_itm->isChecked()) {
        saved_placement = geometry();
        const QRect target = monitor_rect_for();
        set_flag(this, Qt::FramelessWindowHint, true);
        setGeometry(target);
    } else {
        if (!compact_mode_itm->isChecked())
            set_flag(this, Qt::FramelessWindowHint, false);
        setGeometry(saved_placement);
    }
    if (visible)
        show_in_front(this);
}

void Tmain_form::compact_mode_itmClick()
{
    if (full_screen_mode_itm->isChecked())
        return;
    // geometry() is the client area in Qt: keeping it keeps the picture
    // where it was while the frame comes or goes.
    const QRect client = geometry();
    const bool visible = isVisible();
    set_flag(this, Qt::FramelessWindowHint, compact_mode_itm->isChecked());
    setGeometry(client);
    if (visible)
        show_in_front(this);
}

void Tmain_form::stay_on_top_mode_itmClick()
{
    set_flag(this, Qt::WindowStaysOnTopHint, stay_on_top_mode_itm->isChecked());
}

bool Tmain_form::tray_icon(tray_op_t op)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    switch (op) {
    case tray_add:
        if (tray == nullptr) {
            tray = new QSystemTrayIcon(this);
            connect(tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    if (isVisible())
                        hide();
                    else
                        show_in_front(this);
                }
            });
            tray->setContextMenu(PopupMenu);
        }
        return true;
    case tray_modify:
        if (tray == nullptr)
            return false;
        tray->setIcon(windowIcon().isNull() ? QApplication::style()->standardIcon(QStyle::SP_ComputerIcon)
                                            : windowIcon());
        tray->setToolTip(windowTitle().left(127));
        tray->show();
        return true;
    case tray_delete:
        delete tray;
        tray = nullptr;
        return true;
    }
    return false;
}

void Tmain_form::tray_mode_itmClick()
{
    if (tray_mode_itm->isChecked()) {
        tray_icon(tray_add);
        tray_icon(tray_modify);
        set_flag(this, Qt::Tool, true);  // no taskbar button
    } else {
        tray_icon(tray_delete);
        set_flag(this, Qt::Tool, false);
    }
}

void Tmain_form::changeEvent(QEvent* event)
{
    // While in the tray, minimising hides the window instead.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
        tray_mode_itm->isChecked()) {
        QMetaObject::invokeMethod(this, [this] {
            setWindowState(windowState() & ~Qt::WindowMinimized);
            hide();
        }, Qt::QueuedConnection);
    }
    QWidget::changeEvent(event);
}

void Tmain_form::alpha_inc_itmClick()
{
    if (!alpha_itm->isVisible())
        return;
    if (settings.alpha < 95)
        settings.alpha += 5;
    if (opacity_value() != 0)
        set_transparency(demo_timer->enabled() || os_major_version >= 6);
    else
        set_transparency(transparency_on);
}

void Tmain_form::alpha_dec_itmClick()
{
    if (!alpha_itm->isVisible())
        return;
    if (settings.alpha > 0)
        settings.alpha -= 5;
    set_transparency(opacity_value() == 255 ? false : transparency_on);
}

void Tmain_form::FormMouseDown(int x, int y)
{
    const uint32_t now = tick_count();
    const uint32_t double_click_ms =
        static_cast<uint32_t>(QGuiApplication::styleHints()->mouseDoubleClickInterval());
    if (now - last_press_tick <= double_click_ms) {
        full_screen_mode_itm->trigger();
        return;
    }
    if (!isMaximized() && !full_screen_mode_itm->isChecked()) {
        const bool compact = compact_mode_itm->isChecked();
        press_right = compact && width() - x < edge_zone;
        press_bottom = compact && height() - y < edge_zone;
        press_left = compact && x < edge_zone;
        press_top = compact && y < edge_zone;
        press_move = !press_right && !press_bottom && !press_left && !press_top;
        if (QWindow* window = windowHandle()) {
            Qt::Edges edges;
            if (press_right) edges |= Qt::RightEdge;
            if (press_bottom) edges |= Qt::BottomEdge;
            if (press_left) edges |= Qt::LeftEdge;
            if (press_top) edges |= Qt::TopEdge;
            if (press_move)
                window->startSystemMove();
            else
                window->startSystemResize(edges);
        }
    }
    last_press_tick = now;
}

void Tmain_form::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        FormMouseDown(event->position().toPoint().x(), event->position().toPoint().y());
}

void Tmain_form::mouseDoubleClickEvent(QMouseEvent* event)
{
    // Qt delivers the second press of a double click here, not as a press.
    mousePressEvent(event);
}

void Tmain_form::mouseReleaseEvent(QMouseEvent*)
{
    press_right = press_bottom = press_left = press_top = press_move = false;
}

void Tmain_form::mouseMoveEvent(QMouseEvent* event)
{
    if (compact_mode_itm->isChecked()) {
        const int x = event->position().toPoint().x();
        const int y = event->position().toPoint().y();
        const bool right = width() - x < edge_zone, bottom = height() - y < edge_zone;
        const bool left = x < edge_zone, top = y < edge_zone;
        if ((right && bottom) || (left && top))
            wanted_cursor = Qt::SizeFDiagCursor;
        else if ((right && top) || (left && bottom))
            wanted_cursor = Qt::SizeBDiagCursor;
        else if (left || right)
            wanted_cursor = Qt::SizeHorCursor;
        else if (top || bottom)
            wanted_cursor = Qt::SizeVerCursor;
        else
            wanted_cursor = Qt::ArrowCursor;
    }
    if (cursor_hidden || cursor().shape() != wanted_cursor) {
        setCursor(wanted_cursor);
        cursor_hidden = false;
    }
    idle_ticks = 0;
}

void Tmain_form::cursor_timerTimer()
{
    if (cursor_hidden)
        return;
    if (++idle_ticks >= 5) {
        setCursor(Qt::BlankCursor);
        cursor_hidden = true;
    }
}
