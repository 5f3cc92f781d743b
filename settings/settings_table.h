// The table of settings: one row per key of the configuration file, in the
// file's order, with the member of settings_t it fills, its default as the
// file would hold it, and the lines the file writes before it. The record's
// defaults, the configuration reader and the writer are all driven by it.
// Constant data and plain functions; callable from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "settings/settings.h"

// The member a key fills; its type decides the conversion both ways.
using setting_member = std::variant<bool settings_t::*,         // "true", anything else is false
                                    std::string settings_t::*,  // verbatim
                                    int32_t settings_t::*,      // signed decimal
                                    uint16_t settings_t::*,     // low 16 bits, unsigned decimal
                                    double settings_t::*>;      // "%g" with a point

struct setting_t {
    const char* key;        // text before the "=", case-sensitive
    setting_member member;  // where the value lives
    // Folder keys only: the member keeping the value exactly as the file gave
    // it. A folder key ignores an empty value, stores a given one in both
    // members and is written from this one (a folder changed in the dialog
    // is used for the run but not written back).
    std::string settings_t::* file_twin;
    const char* default_text;  // the default, converted like a file value
    const char* lines_before;  // comment and empty lines before the key's line, each ending "\n"
};

// Every key, in the order the file lists them.
std::span<const setting_t> setting_table();

// Converts a value of the file and stores it (read_cfg step 5). Never fails:
// numbers take their leading part or 0, as the file readers always did.
void apply_setting(const setting_t& setting, const std::string& value, settings_t& s);

// The value as the file holds it.
std::string setting_text(const setting_t& setting, const settings_t& s);
