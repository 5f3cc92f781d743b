// "preview.mp4": the camera's own video as an endless fragmented MP4, by
// stream copy: the init segment and the running key-frame interval at once,
// then one fragment per frame as each packet arrives. Each connection's
// route object subscribes a bounded queue to the camera's packets
// (stream/packet_queue.h) and forms the MP4 on the web server thread
// (recording/live_fragmenter.h). Web server thread under server_lock; the
// receive thread only queues packets and wakes the server.
#pragma once

#include <memory>

#include "web/route.h"

std::unique_ptr<route_handler> make_preview_mp4_route();
