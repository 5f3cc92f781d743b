// Helpers shared by the camera and player tests: polling with a limit, a
// video surface that counts what it is given, a recorded synthetic camera
// stream to feed the player with, and checks on player_get_bmp's output.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "player/player.h"

// Polls cond every 20 ms until it holds (true) or limit_ms pass (false).
bool wait_for(const std::function<bool()>& cond, int limit_ms);

class counting_surface_t : public video_surface_t {
public:
    void picture_ready(int32_t) override { ready++; }
    void draw_picture(const uint8_t* bgra, int32_t width, int32_t height, int32_t stride) override;
    bool drawing_size(int32_t* width, int32_t* height) override;

    std::atomic<int32_t> size_width{0}, size_height{0};  // the size it asks for; 0: none

    std::atomic<int> ready{0};                 // picture_ready calls
    std::mutex mutex;                          // guards the three below
    int drawn = 0;                             // draw_picture calls
    int32_t drawn_width = 0, drawn_height = 0; // size of the last one drawn
    std::vector<uint8_t> top_down;             // its rows, top first, width * 4 each
};

// A stream as the camera layer delivers it: one header, then data blocks.
struct recorded_stream_t {
    std::vector<uint8_t> header;
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<bool> key;  // per block: the packet starts a key frame
};

// Records the synthetic camera at address until `blocks` data blocks came.
recorded_stream_t record_synthetic_stream(const std::string& address, size_t blocks);

// Opens a player port on header and starts it with surface; -1 on failure.
int32_t open_player(const std::vector<uint8_t>& header, video_surface_t* surface);
void close_player(int32_t port);
void feed(int32_t port, const recorded_stream_t& stream, size_t from, size_t to);

// The port's current picture through player_get_bmp; empty when none.
std::vector<uint8_t> bmp_of(int32_t port, int32_t* width, int32_t* height);
// True when the picture is neither uniform nor dark: a real test pattern.
bool bmp_shows_pattern(const std::vector<uint8_t>& bmp);
