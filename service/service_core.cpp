// service_core_t: the start-up and close sequences, the camera connection
// and recording handlers, demo mode, applying settings and photos.
#include "service/service_core.h"

#include <QObject>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include "camera/connection.h"
#include "camera/sdk.h"
#include "net/se_socket.h"
#include "player/video_state.h"
#include "recording/recording.h"
#include "service/form_timer.h"
#include "service/headless.h"
#include "service/service_notify.h"
#include "settings/config_file.h"
#include "settings/file_places.h"
#include "settings/instance_setup.h"
#include "settings/log.h"
#include "settings/metrics.h"
#include "web/simple_server.h"
#include "web/simple_thread_obj.h"

namespace {

const char* const separator_line =
    "//---------------------------------------------------------------------------\n";

std::string executable_path()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

// Creates the folder with all missing parents; an empty path is left alone.
void make_folder(const std::string& path)
{
    if (path.empty())
        return;
    std::error_code error;
    std::filesystem::create_directories(path, error);
}

void log_event(const char* event) { log_print("%s %s\n", utc_timestamp().c_str(), event); }

}  // namespace

service_core_t::service_core_t() = default;

service_core_t::~service_core_t()
{
    close();
}

void service_core_t::open()
{
    settings.exe_path = executable_path();
    // An instance's state folder may not exist yet.
    make_folder(default_folder(settings.exe_path));
    open_log();

    const std::string folder = default_folder(settings.exe_path);
    settings.root = folder + "root/";
    settings.img_path = settings.root + "img/";
    settings.rec_path = settings.root + "rec/";

    read_configuration();
    check_writable_files();
}

void service_core_t::start(service_face_t* the_face)
{
    face = the_face;
    started = true;
    gui_context = std::make_unique<QObject>();
    demo_timer = new form_timer_t(200, false, [this] { demo_timerTimer(); }, gui_context.get());
    rec_timer = new form_timer_t(0, false, [this] { rec_timerTimer(); }, gui_context.get());
    connect_timer = new form_timer_t(100, false, [this] { connect_timerTimer(); }, gui_context.get());
    web_retry_timer = new form_timer_t(settings.recon_interval, false, [this] { web_retry_timerTimer(); },
                                       gui_context.get());

    change_demo_mode(settings.demo);
    // The web side needs the client size from the start; a window that is
    // not shown yet (or never, as a daemon) gets no resize event.
    player_lock.enter();
    client_width = settings.width;
    client_height = settings.height;
    overlay_alpha = settings.alpha;
    player_lock.leave();

    connect_timer->set_enabled(!demo_timer->enabled());

    make_folder(settings.img_path);
    make_folder(settings.rec_path);

    log_params(settings);
    start_web_server();
    web_server_thread.start();

    sdk_init();
    apply_connect_settings();
}

void service_core_t::open_log()
{
    const std::string path = log_file_path(settings.exe_path);
    if (!log_open(true, false, path.c_str(), "w")) {
        const int error = errno;
        std::fprintf(stderr,
                     "kestrel: can not write the log %s (%s); start it with --config FILE to keep the "
                     "configuration file, the log and the recordings in a folder it may write\n",
                     path.c_str(), std::strerror(error));
    }
    log_print("%s%s logging started\n", separator_line, utc_timestamp().c_str());
}

// The configuration file is written at every close: a file or folder the
// program may not write is said at once, while someone is looking.
void service_core_t::check_writable_files() const
{
    const std::string path = cfg_file_path(settings.exe_path);
    const bool exists = ::access(path.c_str(), F_OK) == 0;
    const std::string target = exists ? path : std::filesystem::path(path).parent_path().string();
    if (::access(target.empty() ? "." : target.c_str(), W_OK) == 0)
        return;
    const int error = errno;
    std::fprintf(stderr,
                 "kestrel: can not write the configuration file %s (%s); start it with --config FILE "
                 "to keep the configuration file, the log and the recordings in a folder it may write\n",
                 path.c_str(), std::strerror(error));
    log_print("%s can not write the configuration file %s (%s)\n", utc_timestamp().c_str(),
              path.c_str(), std::strerror(error));
}

// An instance's first start (--config naming a file that does not exist)
// writes the file with a random web password instead of reading it, and
// tells where it is on stderr too, which a service's journal keeps. Without
// the option the file is read as always.
void service_core_t::read_configuration()
{
    const std::string path = cfg_file_path(settings.exe_path);
    if (!config_file_option.empty()) {
        // Without a display the instance is a service: it never shows a window.
        const bool daemon_mode = settings.daemon_mode;
        settings.daemon_mode = display_missing;
        if (create_instance_cfg(path, settings)) {
            log_print("%s new configuration file %s written with a random web password\n",
                      utc_timestamp().c_str(), path.c_str());
            std::fprintf(stderr, "kestrel: new configuration file %s; the web login and password are in it\n",
                         path.c_str());
            // All addresses: the page is reached through any of the machine's.
            const bool any = settings.ip.empty() || settings.ip == "0.0.0.0";
            std::fprintf(stderr, "kestrel: the web page will be at http://%s:%d/%s\n",
                         any ? "127.0.0.1" : settings.ip.c_str(), int(settings.port),
                         any ? " and at every address of this machine" : "");
        } else {
            settings.daemon_mode = daemon_mode;
            read_cfg(path, settings);
        }
        provide_web_root(settings, default_web_page(settings.exe_path));
        return;
    }
    read_cfg(path, settings);
}

void service_core_t::start_web_server()
{
    log_event(sockets_startup() ? "sockets initialized" : "can not initialize sockets");
    activate_web_server(true);
}

// One activation attempt. A failure is said with its address and reason in
// the log, on standard error and in the service status, once until the
// reason changes, and the retry timer tries again every recon_interval;
// the camera and recording go on meanwhile.
bool service_core_t::activate_web_server(bool first)
{
    web_server.enter();
    web_server.initialize(2, 1, 6, settings.ip.c_str(), settings.port);
    const bool active = web_server.activate(true);
    const int error = web_server.activation_error();
    web_server.leave();
    if (active) {
        if (first || !web_problem.empty())
            log_event("server activated");
        web_problem.clear();
        web_retry_timer->set_enabled(false);
        web_server.wake();
        return true;
    }
    char text[256];
    std::snprintf(text, sizeof text, "web server can not listen on %s:%d (%s)", settings.ip.c_str(),
                  int(settings.port), std::strerror(error));
    if (first || web_problem != text) {
        if (first)
            log_event("can not activate server");
        log_print("%s %s, trying again every %d ms\n", utc_timestamp().c_str(), text,
                  int(settings.recon_interval));
        std::fprintf(stderr, "kestrel: %s, trying again every %d ms\n", text, int(settings.recon_interval));
    }
    web_problem = text;
    web_retry_timer->set_interval(std::max(int(settings.recon_interval), 100));
    web_retry_timer->set_enabled(true);
    return false;
}

void service_core_t::web_retry_timerTimer()
{
    if (closed)
        return;
    activate_web_server(false);
}

bool service_core_t::restart_web_server()
{
    web_server_thread.stop();
    web_server.deactivate();
    web_server_thread.start();
    web_problem.clear();
    if (!activate_web_server(true))
        return false;
    return true;
}

void service_core_t::apply_connect_settings()
{
    sdk_set_connect_time(static_cast<uint32_t>(settings.con_wait_time),
                         static_cast<uint32_t>(settings.con_try_times));
    sdk_set_reconnect(static_cast<uint32_t>(settings.recon_interval), 1);
    // The web server waits as long for a live picture that is on its way.
    player_lock.enter();
    picture_wait_ms = settings.con_wait_time;
    player_lock.leave();
}

void service_core_t::apply_settings(const settings_t& wanted)
{
    // The web server thread reads these during its steps.
    web_server.enter();
    settings.ip = wanted.ip;
    settings.port = wanted.port;
    settings.login = wanted.login;
    settings.password = wanted.password;
    settings.root = wanted.root;
    settings.sizeof_in = wanted.sizeof_in;
    settings.sizeof_out = wanted.sizeof_out;
    settings.frame_delay = wanted.frame_delay;
    settings.main_interval = wanted.main_interval;
    web_server.leave();
    // A new main_interval counts from now, not after the pause the web
    // server thread is in.
    web_server.wake();

    settings.ipc_ip = wanted.ipc_ip;
    settings.ipc_port = wanted.ipc_port;
    settings.ipc_login = wanted.ipc_login;
    settings.ipc_password = wanted.ipc_password;
    settings.channel = wanted.channel;
    settings.link_mode = wanted.link_mode;
    settings.con_wait_time = wanted.con_wait_time;
    settings.con_try_times = wanted.con_try_times;
    settings.recon_interval = wanted.recon_interval;
    settings.rec_add_interval = wanted.rec_add_interval;
    settings.rec_remove_interval = wanted.rec_remove_interval;
    settings.rec_path = wanted.rec_path;
    settings.img_size = wanted.img_size;
    settings.img_quality = wanted.img_quality;
    settings.img_path = wanted.img_path;
}

void service_core_t::change_demo_mode(bool on)
{
    player_lock.enter();
    demo_mode_on = on;
    player_lock.leave();
    demo_timer->set_enabled(on);
    if (face != nullptr)
        face->demo_changed();
}

void service_core_t::set_demo_mode(bool on) { change_demo_mode(on); }

bool service_core_t::demo_mode() const { return demo_timer != nullptr && demo_timer->enabled(); }

void service_core_t::close()
{
    if (closed || !started)
        return;
    closed = true;
    service_stopping();

    // The file first, while every setting and window state is still live.
    settings_t live = settings;
    live.demo = demo_timer->enabled();
    live.ip = web_server.local_address_text();
    live.port = web_server.local_port();
    // A run without a window never showed one.
    live.minimized = true;
    if (face != nullptr)
        face->window_settings(live);
    write_cfg(cfg_file_path(settings.exe_path), live);

    if (face != nullptr)
        face->closing();
    web_server_thread.stop();
    web_server.deactivate();
    sockets_cleanup();
    log_event("sockets uninitialized");

    connect_timer->set_enabled(false);
    web_retry_timer->set_enabled(false);
    if (rec_timer->enabled())
        toggle_recording();
    finish_photo();
    disconnect_camera();
    change_demo_mode(false);
    if (face != nullptr)
        face->stop_looking();
    log_close();
    sdk_cleanup();
}

bool service_core_t::try_connect_camera()
{
    if (face != nullptr)
        face->camera_busy(true);
    web_server.enter();
    const bool connected = connect_camera(settings);
    log_event(connected ? "preview started" : "can not start preview");
    web_server.leave();
    if (face != nullptr)
        face->camera_busy(false);
    return connected;
}

void service_core_t::release_camera()
{
    connect_timer->set_enabled(false);
    if (rec_timer->enabled())
        toggle_recording();
    finish_photo();
    web_server.enter();
    disconnect_camera();
    web_server.leave();
}

void service_core_t::connect_timerTimer()
{
    const bool connected = try_connect_camera();
    if (!connected) {
        connect_timer->set_interval(settings.recon_interval);
        return;
    }
    connect_timer->set_enabled(false);
    if (settings.rec_active)
        toggle_recording();
}

bool service_core_t::toggle_recording()
{
    // The sweep spares the file being recorded by itself (recording/recording.h).
    remove_old_files(settings.rec_path, std::time(nullptr), settings.rec_remove_interval * 3600.0);
    if (preview_handle < 0)
        return rec_timer->enabled();
    if (rec_timer->enabled()) {
        sdk_stop_save(preview_handle);
        rec_timer->set_enabled(false);
    } else {
        const std::string path = settings.rec_path + utc_timestamp() + ".mp4";
        if (sdk_start_save(preview_handle, path.c_str())) {
            log_event("rec started");
            rec_timer->set_interval(rec_timer_interval_ms(settings.rec_add_interval));
            rec_timer->set_enabled(true);
        } else {
            log_event("can not start rec");
        }
    }
    if (face != nullptr)
        face->recording_changed();
    return rec_timer->enabled();
}

bool service_core_t::recording() const { return rec_timer != nullptr && rec_timer->enabled(); }

void service_core_t::rec_timerTimer()
{
    toggle_recording();
    toggle_recording();
}

void service_core_t::demo_timerTimer()
{
    if (face != nullptr)
        face->demo_tick();
}

bool service_core_t::take_photo()
{
    if (preview_handle < 0)
        return false;
    photo_request_t request;
    request.path = settings.img_path + utc_timestamp() + ".jpg";
    request.login = login_handle;
    request.channel = settings.channel;
    request.img_size = static_cast<uint16_t>(settings.img_size);
    request.img_quality = static_cast<uint16_t>(settings.img_quality);
    std::lock_guard<std::mutex> guard(photo_mutex);
    photo_queue.push_back(request);
    if (photo_worker)
        return true;
    // The last taker has left its loop; it is joined before the next begins.
    if (photo_thread.joinable())
        photo_thread.join();
    photo_worker = true;
    photo_thread = std::thread([this] { take_photos(); });
    return true;
}

// The photo thread: takes the queued photos in turn and ends when none is left.
void service_core_t::take_photos()
{
    for (;;) {
        photo_request_t request;
        {
            std::lock_guard<std::mutex> guard(photo_mutex);
            if (photo_queue.empty()) {
                photo_worker = false;
                return;
            }
            request = photo_queue.front();
            photo_queue.pop_front();
        }
        jpeg_params_t params;
        params.img_size = request.img_size;
        params.img_quality = request.img_quality;
        const bool saved = sdk_capture_jpeg(request.login, request.channel, &params, request.path.c_str());
        log_event(saved ? "img saved" : "can not save img");
        // Pending calls die with the context, which outlives this thread.
        QMetaObject::invokeMethod(gui_context.get(), [this, saved] {
            if (face != nullptr && !closed)
                face->photo_done(saved);
        }, Qt::QueuedConnection);
    }
}

void service_core_t::finish_photo()
{
    if (photo_thread.joinable())
        photo_thread.join();
}

std::string service_core_t::service_status() const
{
    if (demo_mode())
        return "demo mode, no camera";
    std::string text = preview_handle >= 0 ? "camera connected" : "camera not connected, retrying";
    text += recording() ? ", recording" : ", not recording";
    if (recording() && metric_get(metrics.recording_stall) == int(rec_stall_t::no_space))
        text += " (paused: no space left in the recording folder)";
    if (!web_problem.empty())
        text += "; " + web_problem + ", retrying";
    return text;
}
