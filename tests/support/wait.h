// Test support: waiting for something to happen, bounded by a deadline on
// the steady clock, never by a count of tries (a fast machine runs through
// any count before the thing waited for has had its time). Header-only.
#pragma once

#include <chrono>
#include <thread>

namespace kestrel_test {

using test_clock = std::chrono::steady_clock;

// The moment span from now.
inline test_clock::time_point deadline_in(test_clock::duration span) { return test_clock::now() + span; }

// Asks predicate until it holds or the deadline has passed, pausing between
// asks; true when it held. It is asked at least once, and once after the
// last pause that began before the deadline.
template <class predicate_t>
bool wait_until(test_clock::time_point deadline, predicate_t&& predicate,
                test_clock::duration pause = std::chrono::milliseconds(20))
{
    for (;;) {
        if (predicate())
            return true;
        if (test_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace kestrel_test
