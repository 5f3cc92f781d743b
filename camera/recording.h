// Recording helpers that need no window: the retention sweep of the
// recording folder and the rotation timer's interval. GUI thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Deletes every entry of folder (a path prefix, ending with a separator) whose
// age in seconds is strictly greater than max_age_s. Names beginning with "."
// are never touched, subfolders are not descended into, and keep_path (the
// file being recorded, may be empty) is never deleted, whatever its age.
void remove_old_files(const std::string& folder, std::time_t now, double max_age_s,
                      const std::string& keep_path);

// rec_add_interval hours as a timer interval in ms: truncated; 0 for a
// negative or not-a-number value (never rotates); clamped to the largest
// interval the timer holds.
int32_t rec_timer_interval_ms(double hours);
