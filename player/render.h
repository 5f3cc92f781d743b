// The drawing routines of the fallback picture: the navy background, the
// "NO SIGNAL" text and the demo mode's diagnostic overlay. They draw on any
// QPainter: the window's back buffer, or the demo snapshot for the web.
#pragma once

#include <cstdint>
#include <string>

class QPainter;

// What the diagnostic overlay shows about the web server.
struct overlay_info_t {
    std::string address;  // local_address_text of the web server
    uint16_t port = 0;    // local_port
    bool active = false;  // is_active
    int32_t alpha = 0;    // transparency setting
};

void fill_background(QPainter& canvas, int32_t w, int32_t h);
void draw_no_signal(QPainter& canvas, int32_t w, int32_t h);
void draw_info_overlay(QPainter& canvas, int32_t w, int32_t h, const overlay_info_t& info);

// Milliseconds of a monotonic clock, truncated to 32 bits (the tick count).
uint32_t tick_count();
