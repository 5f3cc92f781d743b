// The camera SDK layer: log in to a camera, deliver its live stream to a
// callback on the layer's own thread, save the stream to a file, take a JPEG
// photo. Built on libavformat; no FFmpeg type appears here.
// Handles are signed; negative means failure or "none". Every call is safe
// with handle -1 or an unknown handle (it fails harmlessly).
#pragma once

#include <cstdint>
#include <memory>

class packet_fanout_obj;

// Data types handed to the stream callback.
enum : uint32_t {
    sdk_stream_header = 1,  // everything the player needs to open a stream
    sdk_stream_data = 2,    // a block of stream data (the player's byte format; a
                            // preview hands its packets to its fan-out instead)
};

// Called on the layer's own thread. Only data type, bytes and length are
// meaningful to the program; user is the value given to sdk_start_preview.
using stream_data_callback_t = void (*)(int32_t preview_handle, uint32_t data_type,
                                        const uint8_t* bytes, uint32_t length, void* user);

struct preview_request_t {
    int32_t channel;    // camera preview channel
    int32_t link_mode;  // bit 31: sub stream; bits 0-30: 0 TCP, 1 UDP, 2 multicast, 3 automatic
    int32_t reserved1;  // always 0
    int32_t reserved2;  // always 0
};

struct jpeg_params_t {
    uint16_t img_size;     // size code of the settings' img_size table
    uint16_t img_quality;  // 0 best, 1 better, 2 average
};

// Size of the area sdk_login may fill; the program never reads it.
constexpr int sdk_login_output_size = 80;

bool sdk_init();
void sdk_cleanup();
// Bounds every network wait: wait_ms per attempt, try_times attempts.
bool sdk_set_connect_time(uint32_t wait_ms, uint32_t try_times);
// After a drop, retry every interval_ms (enable = 1) and deliver a new header.
bool sdk_set_reconnect(uint32_t interval_ms, int32_t enable);

int32_t sdk_login(const char* address, uint16_t port, const char* user, const char* password,
                  void* login_output);
bool sdk_logout(int32_t login_handle);

int32_t sdk_start_preview(int32_t login_handle, const preview_request_t* request,
                          stream_data_callback_t callback, void* user, int32_t reserved);
// Returns only when no callback of this preview can run any more.
bool sdk_stop_preview(int32_t preview_handle);
// The preview's packets (stream/packet_fanout.h), from its first stream
// header on, also inside the callback; null for an unknown handle.
std::shared_ptr<packet_fanout_obj> sdk_preview_packets(int32_t preview_handle);

bool sdk_start_save(int32_t preview_handle, const char* path);
bool sdk_stop_save(int32_t preview_handle);
bool sdk_capture_jpeg(int32_t login_handle, int32_t channel, const jpeg_params_t* params,
                      const char* path);
