// Where the configuration file, the log and the default folders lie. Beside
// the executable by default; "--config FILE" moves them beside FILE, so that
// an installed, read-only executable can run one instance per state folder.
#pragma once

#include <cstdio>
#include <string>

// The configuration file given on the command line (absolute), or empty.
// Set once by the process entry before the main window is built.
extern std::string config_file_option;

// The configuration file: the option's FILE, else the executable's path
// with ".cfg".
std::string cfg_file_path(const std::string& exe_path);
// The log: the configuration file's path with ".log".
std::string log_file_path(const std::string& exe_path);
// The folder holding the default web root, photo and recording folders
// (ends with "/"): the configuration file's folder.
std::string default_folder(const std::string& exe_path);
// The default web page an instance's new web root gets: the one a package
// installs, <prefix>/share/kestrel/www/ for an executable in <prefix>/bin/,
// or else the web root beside the executable (a build folder's copy).
std::string default_web_page(const std::string& exe_path);

// Opens path as fopen does with mode ("r", "w", "a", with "+" or "b"), but a
// file it opens for writing is left readable and writable by its owner only
// (created so, or narrowed): the configuration file and the log hold
// passwords.
std::FILE* open_private_file(const std::string& path, const char* mode);
