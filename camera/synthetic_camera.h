// Internal to the camera SDK layer: the built-in synthetic camera behind
// test:// addresses. It draws a moving test pattern with a running clock and
// encodes it as H.264 in-process, one frame per frame period, on the
// preview's receive thread.
#pragma once

#include <memory>

#include "camera/camera_address.h"
#include "camera/stream_source.h"

std::unique_ptr<stream_source_obj> make_synthetic_camera(const test_camera_shape_t& shape,
                                                         stop_signal_t* stop);
