// The settings record: every user-adjustable value, and the two path helpers
// that derive the configuration file, the log and the default folders from
// the executable's path. The defaults of the file's keys are in the table of
// settings (settings/settings_table.cpp), which the constructor applies.
// The web values (ip .. sizeof_out, frame_delay, main_interval) are read by
// the web server thread and written by the GUI thread only under server_lock;
// every other value is the GUI thread's.
#pragma once

#include <cstdint>
#include <string>

struct settings_t {
    // Held by the window as the demo timer's enabled state; mirrored here
    // when read from and written to the configuration file.
    bool demo = false;

    std::string ip;          // web server listening address
    uint16_t port = 0;       // web server port
    std::string login;       // HTTP Basic user
    std::string password;    // HTTP Basic password
    std::string root;        // effective web root folder (ends with "/")
    std::string cfg_root;    // root exactly as the file gave it
    int32_t sizeof_in = 0;   // receive buffer of a web connection, bytes
    int32_t sizeof_out = 0;  // send buffer of a web connection, bytes

    std::string ipc_ip;        // camera address, or a whole stream URL
    uint16_t ipc_port = 0;     // camera port
    std::string ipc_login;
    std::string ipc_password;
    int32_t channel = 0;       // camera preview channel
    int32_t link_mode = 0;     // bit 31: sub stream; bits 0-30: transport

    bool rec_active = false;         // record as soon as preview starts
    double rec_add_interval = 0;     // hours per recording file
    double rec_remove_interval = 0;  // hours a recording is kept
    int32_t img_size = 0;            // photo size code
    int32_t img_quality = 0;         // photo quality code
    std::string img_path;            // effective photo folder
    std::string rec_path;            // effective recording folder
    std::string cfg_img_path;        // img_path exactly as the file gave it
    std::string cfg_rec_path;        // rec_path exactly as the file gave it

    int32_t con_wait_time = 0;   // camera connect time-out, ms
    int32_t con_try_times = 0;   // camera connect attempts
    int32_t recon_interval = 0;  // ms between camera connection attempts

    bool full_screen_mode = false;  // menu check marks, mirrored
    bool daemon_mode = false;       // never show the window
    bool minimized = false;         // start minimised
    bool stay_on_top_mode = false;
    bool compact_mode = false;
    bool tray_mode = false;
    int32_t alpha = 0;              // transparency percent, 0 = opaque

    int32_t width = 0;   // window client width
    int32_t height = 0;  // window client height

    int32_t frame_delay = 0;    // ms per MJPEG part
    int32_t main_interval = 0;  // longest pause of the web server thread between steps, ms

    std::string exe_path;  // full path of the running executable

    // Every key at its default; the folders stay empty (see settings_table).
    settings_t();

    // Member-wise comparison (tests: a written and re-read record is equal).
    bool operator==(const settings_t&) const = default;
};

// The one process-wide record.
extern settings_t settings;

// "prog.exe" + ".cfg" -> "prog.cfg"; a "." inside a folder name is kept.
std::string replace_extension(const std::string& path, const std::string& extension);
// Everything up to and including the last "/" or "\", or empty.
std::string directory_of(const std::string& path);
