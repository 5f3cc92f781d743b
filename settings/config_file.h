// The configuration file beside the executable: parse_params, read_cfg at
// start-up, write_cfg at close, and the parameter dump into the log.
// GUI thread only.
#pragma once

#include <string>

#include "settings/settings.h"
#include "settings/text_map.h"

// Splits "key=value\r\n" pairs; false when a "=" or a CR LF is missing.
bool parse_params(const std::string& text, text_map& params);

// Reads the file at path into s; logs "////can not read cfg-file\n" and
// "////can not parse params\n" as they happen. Keys absent from the file
// keep the values s already holds.
void read_cfg(const std::string& path, settings_t& s);

// Writes the 52 lines from s. The caller fills s.ip and s.port with the
// address and port the web server was last initialised with, s.demo and the
// mode flags from the window's live state, s.minimized from visibility, and
// s.width/s.height from the client size. Silent when it cannot be written.
void write_cfg(const std::string& path, const settings_t& s);

// The 52 lines as one text, CR LF line ends (what write_cfg stores).
std::string cfg_text(const settings_t& s);

// "////params:\n" and the web settings, one line each.
void log_params(const settings_t& s);
