// The program's one log: printf-style messages from any thread, each written
// whole and flushed at once, "\n" stored as CR LF; and utc_timestamp, the
// time text that begins event lines and names recordings and photos.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

#include "settings/mt_obj.h"

// Serialises log writes; a leaf lock (nothing is taken while it is held).
extern mt_obj log_lock;

// Opens the log. A log file that grows past log_limit_bytes() is moved to
// the same path with ".1" appended (replacing the one before) and begun
// again; opening it with "w" also removes that older part. With to_file false nothing is opened and the result is true;
// a missing path or mode gives false. Called once, on the GUI thread.
bool log_open(bool to_file, bool to_console, const char* path, const char* mode);
// One message, formatted as printf does; true when every selected output
// succeeded. After log_close it writes nothing and returns false.
bool log_print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_close();

// The size at which the log file is begun again: 16 MiB, or the test-only
// environment variable KESTREL_TEST_LOG_LIMIT (bytes) when it is set.
size_t log_limit_bytes();
// Changes the limit for the log opened next (tests).
void log_set_limit_bytes(size_t bytes);

// A request's header block as it may be logged: the credentials of an
// "Authorization" or "Proxy-Authorization" header are replaced, its scheme
// stays; every other byte is kept.
std::string hide_credentials(const std::string& header_block);

// "YYYY-MM-DD hh-mm-ss (UTC)" of now, 25 characters, safe in file names.
std::string utc_timestamp();
// The same text for a given calendar time.
std::string utc_timestamp_of(std::time_t t);
