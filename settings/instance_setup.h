// The first start of an instance run with "--config FILE": a configuration
// file with a random web password instead of the well-known default, and
// the instance's own copy of the default web page, so that every instance
// starts safe and owns a writable web root.
#pragma once

#include <string>

#include "settings/settings.h"

// A password of 16 letters and digits from the system's random source;
// empty when the source fails.
std::string random_password();

// When path does not exist: gives s a random password and writes the
// configuration file from s (mode 0600). True when the file was written.
bool create_instance_cfg(const std::string& path, settings_t& s);

// When the web root is the default one (no "root" key) and does not exist:
// copies the page folder into it. True when it was copied.
bool provide_web_root(const settings_t& s, const std::string& page_folder);
