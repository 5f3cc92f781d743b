// The demand for pictures: a count of lasting consumers and the time until
// which passing consumers want pictures.
#include "player/picture_demand.h"

#include <atomic>
#include <chrono>
#include <limits>

namespace {
std::atomic<int32_t> holders{0};         // lasting consumers
std::atomic<int64_t> wanted_until{0};    // end of the passing consumers' demand
}  // namespace

int64_t demand_clock_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool demand_active(int64_t now) { return holders.load() > 0 || now < wanted_until.load(); }

int64_t demand_deadline()
{
    return holders.load() > 0 ? std::numeric_limits<int64_t>::max() : wanted_until.load();
}

bool demand_hold(bool on)
{
    const bool was_active = demand_active(demand_clock_ms());
    if (on) {
        holders++;
        return !was_active;
    }
    // Never below zero: an unmatched release must not cancel a later hold.
    int32_t n = holders.load();
    while (n > 0 && !holders.compare_exchange_weak(n, n - 1)) {
    }
    return false;
}

bool demand_want(uint32_t linger_ms)
{
    const int64_t now = demand_clock_ms();
    const bool was_active = demand_active(now);
    const int64_t until = now + int64_t(linger_ms);
    int64_t old = wanted_until.load();
    while (old < until && !wanted_until.compare_exchange_weak(old, until)) {
    }
    return !was_active;
}
