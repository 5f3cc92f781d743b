// window_rules: the arithmetic behind the main window's presentation modes
// and mouse handling — which screen full screen covers, opacity and the
// transparency steps, the edge zones of the compact window, the double-click
// rule. Plain functions of their arguments (QtCore types only), so tests
// drive them without a display. Called on the GUI thread.
#pragma once

#include <QRect>
#include <Qt>

#include <cstdint>
#include <vector>

// The screen that full screen covers: of the screens that overlap the window
// rectangle, the one with the largest overlap (the first of equals);
// primary when none overlaps.
QRect best_monitor(const QRect& window, const std::vector<QRect>& screens, const QRect& primary);

// Window opacity 0 (clear) .. 255 (opaque) for a transparency percentage;
// values outside 0..100 (the configuration file passes them on unchecked)
// count as the nearest end.
int32_t opacity_for(int32_t alpha);

// One menu step of the transparency percentage. A step lands within 0..95;
// at 95 or above a step up changes nothing (so 100 from the file stays 100).
int32_t alpha_step_up(int32_t alpha);
int32_t alpha_step_down(int32_t alpha);

// Where a left press landed on the compact window: within edge_zone pixels
// of an edge, or (move) in none of them. Outside compact mode only move is
// set.
struct press_flags_t {
    bool right = false;   // near the right edge
    bool bottom = false;  // near the bottom edge
    bool left = false;    // near the left edge
    bool top = false;     // near the top edge
    bool move = false;    // in the middle: the press drags the window
};
press_flags_t press_flags_at(int32_t x, int32_t y, int32_t width, int32_t height,
                             int32_t edge_zone, bool compact);

// The edges a press resizes, corners first (right-bottom, right-top,
// left-bottom, left-top, then single edges); empty for a move or no press.
Qt::Edges drag_edges(const press_flags_t& press);

// The cursor over the compact window at x, y: a sizing arrow near edges and
// corners, the arrow elsewhere.
Qt::CursorShape edge_cursor(int32_t x, int32_t y, int32_t width, int32_t height,
                            int32_t edge_zone);

// Whether a press at now completes a double click begun at last (32-bit
// tick counts; the difference wraps as the tick count does).
bool is_double_click(uint32_t now, uint32_t last, uint32_t double_click_ms);
