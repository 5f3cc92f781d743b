// Recording helpers that need no window: the retention sweep of the
// recording folder, the rotation timer's interval, and the list of files a
// recorder is writing. The sweep and the interval run on the GUI thread; the
// list is kept by the recorders' file outputs on any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Deletes every entry of folder (a path prefix, ending with a separator) whose
// age in seconds is strictly greater than max_age_s. Names beginning with "."
// are never touched, subfolders are not descended into, and a file that a
// recorder is writing is never deleted, whatever its age.
void remove_old_files(const std::string& folder, std::time_t now, double max_age_s);

// rec_add_interval hours as a timer interval in ms: truncated; 0 for a
// negative or not-a-number value (never rotates); clamped to the largest
// interval the timer holds.
int32_t rec_timer_interval_ms(double hours);

// A file by device and inode, so that any spelling of its path matches.
struct file_id_t {
    uint64_t device;  // st_dev
    uint64_t inode;   // st_ino
};

// A recorder's file output marks its file while the file is open.
void hold_recording_file(const file_id_t& id, bool held);
bool recording_file_held(const file_id_t& id);
