// Chooses the kind of stream source for a URL: the synthetic camera for
// test:// addresses, libavformat for everything else.
#include "camera/stream_source.h"

#include "camera/av_source.h"
#include "camera/camera_address.h"
#include "camera/synthetic_camera.h"

std::unique_ptr<stream_source_obj> make_stream_source(const std::string& url,
                                                      const char* transport,
                                                      stop_signal_t* stop, bool paused)
{
    if (is_test_address(url)) {
        test_camera_shape_t shape;
        if (!parse_test_address(url, &shape))
            return nullptr;
        return make_synthetic_camera(shape, stop);
    }
    return make_av_source(url, transport, stop, paused);
}

open_result_t open_stream_source(const std::string& url, const char* transport,
                                 stop_signal_t* stop, bool paused, const connect_limits_t& limits,
                                 std::unique_ptr<stream_source_obj>* source, std::string* reason)
{
    source->reset();
    open_result_t result = open_result_t::failed;
    *reason = "invalid address";
    const uint32_t tries = limits.tries ? limits.tries : 1;
    for (uint32_t attempt = 0; attempt < tries && !stop->raised(); attempt++) {
        auto candidate = make_stream_source(url, transport, stop, paused);
        if (!candidate)
            return open_result_t::failed;
        result = candidate->open(limits);
        if (result == open_result_t::ok) {
            *source = std::move(candidate);
            return result;
        }
        *reason = candidate->last_error();
        if (result != open_result_t::failed)
            break;
    }
    return stop->raised() ? open_result_t::stopped : result;
}
