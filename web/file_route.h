// file_route: the fallback route, the files below the web root. A file
// answer (200, or 206 for one byte range; 416 past the end) goes out in
// pieces through the connection's output buffer, read with pread while the
// descriptor stays open; a folder is redirected to its name with "/". Web
// server thread under server_lock.
#pragma once

#include <memory>

#include "web/route.h"

std::unique_ptr<route_handler> make_file_route();
