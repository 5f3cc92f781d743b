// service_core_t: the program without its window. It holds the start-up and
// close sequences, the camera's connection attempts (connect_timer), the
// recording's rotation (rec_timer) and retention, demo mode (demo_timer),
// the web server thread's life, the applying of new settings, photos and
// the service manager's notifications. A daemon runs it alone; the main
// window is a face of it (service_face_t) that adds what a person sees:
// menus, message boxes, painting. GUI thread only (the thread that runs the
// Qt event loop), unless a member says otherwise.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "settings/settings.h"

class QObject;
class form_timer_t;

// What the core tells the window; a daemon has no face. Every call comes on
// the GUI thread.
class service_face_t {
public:
    virtual ~service_face_t() = default;
    // Recording started or stopped: the menu's caption and shortcut follow.
    virtual void recording_changed() {}
    // Demo mode went on or off: the transparency item follows.
    virtual void demo_changed() {}
    // A tick of the demo timer: the diagnostic picture is drawn anew.
    virtual void demo_tick() {}
    // A connection attempt begins (true) or ends: the busy cursor.
    virtual void camera_busy(bool) {}
    // The outcome of take_photo, after its log line.
    virtual void photo_done(bool) {}
    // The window's own values for the file written at close (mode check
    // marks, size, whether it is shown).
    virtual void window_settings(settings_t&) {}
    // In the close sequence, after the file is written: the tray icon goes.
    virtual void closing() {}
    // In the close sequence, once demo mode is off: the window stops
    // holding the player's pictures.
    virtual void stop_looking() {}
};

class service_core_t {
public:
    service_core_t();
    // Runs the close sequence when it has not run.
    ~service_core_t();
    service_core_t(const service_core_t&) = delete;
    service_core_t& operator=(const service_core_t&) = delete;

    // The first steps of the start-up, which need no Qt application: the
    // executable's path, the state folder, the log, the configuration file
    // (a new instance's is written). Afterwards settings tell whether the
    // program runs with a window.
    void open();
    // The rest of the start-up, within a running Qt application: demo mode
    // from the file, folders, the parameters logged, the web server and its
    // thread, the camera layer; the first connection attempt follows on the
    // connect timer unless demo mode is on. face may be nullptr.
    void start(service_face_t* face);
    // The close sequence: the service manager hears STOPPING, the file is
    // written, the web server stops, recording and camera end, the log
    // closes, the camera layer is released. Runs once.
    void close();
    bool is_closed() const { return closed; }

    // The program's timers; each calls the handler of its name.
    form_timer_t* demo_timer = nullptr;     // 200 ms ticks while demo mode is on
    form_timer_t* rec_timer = nullptr;      // rotates the recording file
    form_timer_t* connect_timer = nullptr;  // camera connection attempts
    // Activation attempts of a web server that could not listen, every
    // recon_interval until it can; disabled while it listens.
    form_timer_t* web_retry_timer = nullptr;
    void connect_timerTimer();
    void web_retry_timerTimer();
    void rec_timerTimer();
    void demo_timerTimer();

    // Starts or stops recording; the retention sweep runs first either way.
    // Returns whether recording runs afterwards.
    bool toggle_recording();
    bool recording() const;
    // One connection attempt under server_lock, logged.
    bool try_connect_camera();
    // Ends the retries, the recording and the camera connection.
    void release_camera();
    // Stops and activates the web server again with the current settings;
    // the thread runs again only when activation succeeded.
    bool restart_web_server();
    // Hands the connect time, attempts and reconnect interval to the camera
    // layer and the web server.
    void apply_connect_settings();
    // Takes the web values of wanted under server_lock (and wakes the web
    // server thread), and the camera, recording and photo values. Needs no
    // running core: the options dialog applies through it.
    static void apply_settings(const settings_t& wanted);

    // Demo mode is the demo timer's enabled state; the web server thread
    // reads its mirror demo_mode_on under player_lock.
    void set_demo_mode(bool on);
    bool demo_mode() const;

    // Saves a photo of the current picture into img_path, named by the time
    // of the call, on a thread of its own, so the GUI thread never waits for
    // a picture to be decoded; photos asked for meanwhile are taken in turn.
    // The log line follows on that thread, the face's photo_done on the GUI
    // thread. False (nothing asked) without a preview.
    bool take_photo();
    // Waits until every photo asked for has been taken.
    void finish_photo();

    // The camera and recording state in a few words, for the service
    // manager's status line.
    std::string service_status() const;

private:
    void open_log();
    void read_configuration();
    void start_web_server();
    bool activate_web_server(bool first);
    void check_writable_files() const;
    void change_demo_mode(bool on);

    service_face_t* face = nullptr;
    std::unique_ptr<QObject> gui_context;   // receives the photo's outcome on the GUI thread
    // One photo asked for: where it goes and what the camera is asked.
    struct photo_request_t {
        std::string path;
        int32_t login = -1;
        int32_t channel = 0;
        uint16_t img_size = 0;
        uint16_t img_quality = 0;
    };
    void take_photos();

    std::mutex photo_mutex;                 // guards photo_queue and photo_worker
    std::deque<photo_request_t> photo_queue;  // photos asked for and not yet begun
    bool photo_worker = false;              // photo_thread is taking the queue's photos
    std::thread photo_thread;               // the photo taker, joinable once started
    std::string web_problem;                // why the web server does not listen, "" while it does
    bool started = false;                   // start has run
    bool closed = false;                    // the close sequence has run
};
