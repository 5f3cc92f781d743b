// Tmain_form: the main window, the face of the service core. Its
// construction runs the core's start-up and its close query the core's close
// sequence; it owns the context menu, the cursor timer, the back buffer of
// the fallback picture, and is the video surface the player draws into. GUI
// thread only, except picture_ready. The handlers keep the names the rest of
// the program knows them by; each stays short and calls the core.
#pragma once

#include <QImage>
#include <QRect>
#include <QWidget>

#include <atomic>
#include <memory>
#include <cstdint>
#include <string>

#include "app/window_rules.h"
#include "player/player.h"
#include "service/service_core.h"

class QAction;
class QMenu;
class QPainter;
class QSystemTrayIcon;
class form_timer_t;

class Tmain_form : public QWidget, public video_surface_t, public service_face_t {
    Q_OBJECT
    // The core when the form opened it; declared first, as core may refer to it.
    std::unique_ptr<service_core_t> own_core;

public:
    // With a core of its own, opened here (tests); the program's entry
    // opens the core first, to learn whether a window is wanted at all.
    Tmain_form();
    explicit Tmain_form(service_core_t& opened_core);
    ~Tmain_form() override;

    service_core_t& core;

    // Components, as the form is built; the first three are the core's.
    form_timer_t* demo_timer = nullptr;     // 200 ms repaint in demo mode
    form_timer_t* rec_timer = nullptr;      // rotates the recording file
    form_timer_t* connect_timer = nullptr;  // camera connection attempts
    form_timer_t* cursor_timer = nullptr;   // hides the idle cursor
    QMenu* PopupMenu = nullptr;
    QAction* options_itm = nullptr;
    QAction* start_stop_rec_itm = nullptr;
    QAction* save_img_itm = nullptr;
    QAction* N2 = nullptr;  // the separator after the recording and photo items
    QAction* full_screen_mode_itm = nullptr;
    QAction* stay_on_top_mode_itm = nullptr;
    QAction* compact_mode_itm = nullptr;
    QAction* tray_mode_itm = nullptr;
    QMenu* alpha_menu = nullptr;   // the submenu behind alpha_itm
    QAction* alpha_itm = nullptr;  // the submenu's entry in PopupMenu
    QAction* alpha_inc_itm = nullptr;
    QAction* alpha_dec_itm = nullptr;
    QAction* close = nullptr;

    // Menu and timer handlers.
    void PopupMenuPopup();
    void options_itmClick();
    void closeClick();
    void start_stop_rec_itmClick();
    void save_img_itmClick();
    void full_screen_mode_itmClick();
    void stay_on_top_mode_itmClick();
    void compact_mode_itmClick();
    void tray_mode_itmClick();
    void alpha_inc_itmClick();
    void alpha_dec_itmClick();
    void cursor_timerTimer();
    void demo_timerTimer();

    // Actions of the menu and the options dialog.
    void reconnect_camera();
    void enter_demo_mode();
    void restart_web_server();

    // The core's close sequence; always allows the close. Runs once.
    bool FormCloseQuery();

    // Demo mode, the core's demo timer (service_core_t::set_demo_mode).
    void set_demo_timer_enabled(bool on);
    // Changes the alpha setting and its mirror for the web server thread.
    void set_alpha(int32_t alpha);

    // Window opacity 0..255 from alpha, and the transparency switch.
    int32_t opacity_value() const;
    void set_transparency(bool on);
    // The rectangle of the screen that overlaps the window most.
    QRect monitor_rect_for() const;
    // Tray icon operations: add, modify, delete.
    enum tray_op_t { tray_add, tray_modify, tray_delete };
    bool tray_icon(tray_op_t op);
    // Left (toggle the window) and right (popup menu at the cursor) clicks
    // on the tray icon.
    void tray_left_click();
    void tray_right_click();

    // Mouse handlers in client coordinates; the Qt events call them.
    void FormMouseDown(int x, int y);
    void FormMouseMove(int x, int y, bool left_button_down);
    void FormMouseUp();

    // State the modes keep, for tests and the overlay.
    bool transparency() const { return transparency_on; }
    const press_flags_t& press_state() const { return press; }

    // video_surface_t
    void picture_ready(int32_t port) override;
    void draw_picture(const uint8_t* bgra, int32_t width, int32_t height, int32_t stride) override;
    bool drawing_size(int32_t* width, int32_t* height) override;

    // service_face_t
    void recording_changed() override;
    void demo_changed() override;
    void demo_tick() override;
    void camera_busy(bool on) override;
    void photo_done(bool saved) override;
    void window_settings(settings_t& live) override;
    void closing() override;
    void stop_looking() override;

    uint32_t os_major_version = 0;  // 6 when translucent windows work, else 5

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void start_up();
    void create_components();
    void create_menu();
    void apply_cfg();
    void show_recording_state();
    void show_preview_items(bool on);
    void apply_window_modes();
    void paint_fallback(QPainter& painter, int w, int h);
    void follow_visibility();
    void apply_connect_settings();
    void update_alpha_itm();
    void set_frameless(bool on);
    void start_system_drag();
    void follow_manual_drag(const QPoint& global);

    // Mouse and cursor state.
    uint32_t last_press_tick = 0;  // last left press not taken as a double click
    int32_t edge_zone = 10;        // resize border of the compact window, px
    Qt::CursorShape wanted_cursor = Qt::ArrowCursor;  // shape a mouse move sets
    int32_t idle_ticks = 0;        // cursor timer ticks since the last move
    bool pressed_before = false;   // a left press happened since start-up
    press_flags_t press;           // where the current left press landed
    // A press that drags or resizes starts the system drag on the first
    // move with the button held: a drag started on the press itself lets
    // the window manager take the next press, and the double click is lost.
    bool drag_pending = false;
    QPoint press_point;            // client position of that press
    // Where no system drag exists, the window follows the pointer itself.
    bool manual_drag = false;      // such a drag runs
    QPoint drag_origin;            // screen position of the press that began it
    QRect drag_start_geometry;     // the window's geometry then

    QRect saved_placement;          // client geometry saved on entering full screen
    bool saved_maximized = false;   // the window was maximised then
    bool transparency_on = false;   // layered-window blending switched on
    QSystemTrayIcon* tray = nullptr;  // exists while tray mode is on

    QImage back_buffer;              // fallback picture, client size; null until resized
    QPainter* active_painter = nullptr;  // set during paintEvent for draw_picture
    std::atomic<bool> repaint_posted{false};  // one queued repaint at a time
    // The client size for the decode thread, which must not wait for a lock.
    std::atomic<int32_t> surface_width{0};
    std::atomic<int32_t> surface_height{0};
    bool looking = false;            // the window holds the player's pictures (visible, not minimised)
};

extern Tmain_form* main_form;
