// The command line: "--config FILE" (the configuration file, with the log
// and the default folders beside it), "--help", "--version". Read before the
// application object exists; nothing else is accepted.
#pragma once

// Reads the options into config_file_option (settings/file_places.h). Returns
// -1 when the program is to run; otherwise it has printed the help (stdout),
// the version (stdout) or the usage after an error (stderr) and returns the
// exit status: 0, or 2 for an unknown option or a missing FILE.
int read_command_line(int argc, char** argv);
