// Internal to recording: how much free space the recording folder's file
// system keeps, and the sweep that deletes the oldest recordings until it
// has that much again. Called by the space keeper's thread and, before a
// recording's first file, by whoever starts it; never by a writer thread.
#pragma once

#include <cstdint>
#include <string>

// The levels of free space, in bytes, for a file system of a given size
// and a recording of a given bitrate.
struct space_rule_t {
    uint64_t keep_free = 0;    // the sweep deletes recordings while free space is below this
    uint64_t pause_below = 0;  // with nothing left to delete, recording pauses below this
    uint64_t resume_at = 0;    // and goes on once free space is back at this
    uint64_t max_file = 0;     // a file is ended at the next key frame beyond this size
};

// keep_free: five minutes of the bitrate or 1 % of the file system,
// whichever is larger, but never more than a quarter of it; pause_below a
// quarter and resume_at half of keep_free; max_file an eighth of the file
// system, so that the file being written can never take the room the
// sweep keeps.
space_rule_t space_rule(uint64_t file_system_bytes, double bytes_per_s);

// The file system holding folder: its size and the bytes a user may still
// write. False when it can not be asked.
bool disk_space_of(const std::string& folder, uint64_t* size, uint64_t* free);

// Whether name is one a recording gets: "YYYY-MM-DD hh-mm-ss (UTC).mp4",
// or with "-N" (N of 2..99) before ".mp4" for a file begun in the same second.
bool is_recording_name(const std::string& name);

struct room_result_t {
    bool known = false;       // the file system could be asked
    uint64_t free = 0;        // free bytes after the sweep
    int deleted = 0;          // recordings deleted
    bool nothing_left = false;  // below keep_free with no recording left to delete
};

// Deletes the oldest finished recordings of folder (a path prefix ending
// with a separator) while free space is below keep_free. Only names that
// is_recording_name accepts are touched, never a file being recorded. Each
// deletion is logged and counted.
room_result_t make_room(const std::string& folder, uint64_t keep_free);
