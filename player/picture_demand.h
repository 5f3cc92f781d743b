// Internal to the player layer: who looks at pictures right now. Decoding is
// most of the player's cost, so ports decode only while a consumer is there:
// a lasting one holds the demand (a visible window), a passing one wants
// pictures for a while (a single picture, a stream part, a photo). Any
// thread; lock-free.
#pragma once

#include <cstdint>

// Milliseconds of the monotonic clock the demand is timed on.
int64_t demand_clock_ms();
// Someone looks at pictures at now.
bool demand_active(int64_t now);
// When the demand ends if nothing renews it; INT64_MAX while held.
int64_t demand_deadline();
// One lasting consumer more (on) or less; true when the demand started.
bool demand_hold(bool on);
// Pictures are wanted for linger_ms more at least; true when the demand started.
bool demand_want(uint32_t linger_ms);
