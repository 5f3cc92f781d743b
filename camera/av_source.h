// Internal to the camera SDK layer: a camera stream read with libavformat
// (RTSP and any other URL it knows). Used on a preview's receive thread;
// every network wait is bounded by the connect time and the stop signal.
#pragma once

#include <memory>
#include <string>

#include "camera/stream_source.h"

std::unique_ptr<stream_source_obj> make_av_source(const std::string& url, const char* transport,
                                                  stop_signal_t* stop, bool paused);
