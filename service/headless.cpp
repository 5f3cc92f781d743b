// The process's windowless state.
#include "service/headless.h"

#include "settings/settings.h"

bool display_missing = false;

bool runs_without_window() { return settings.daemon_mode || display_missing; }
