// The program's one log: printf-style messages from any thread, each written
// whole and flushed at once, "\n" stored as CR LF; and utc_timestamp, the
// time text that begins event lines and names recordings and photos.
#pragma once

#include <ctime>
#include <string>

#include "settings/mt_obj.h"

// Serialises log writes; a leaf lock (nothing is taken while it is held).
extern mt_obj log_lock;

// Opens the log. With to_file false nothing is opened and the result is true;
// a missing path or mode gives false. Called once, on the GUI thread.
bool log_open(bool to_file, bool to_console, const char* path, const char* mode);
// One message, formatted as printf does; true when every selected output
// succeeded. After log_close it writes nothing and returns false.
bool log_print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_close();

// "YYYY-MM-DD hh-mm-ss (UTC)" of now, 25 characters, safe in file names.
std::string utc_timestamp();
// The same text for a given calendar time.
std::string utc_timestamp_of(std::time_t t);
