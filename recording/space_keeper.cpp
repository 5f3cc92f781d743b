// The space keeper's thread. The bitrate is measured over the last minute
// of the recording's own bytes, which reach the file a key-frame interval
// at a time, so that one fragment does not swing it.
#include "recording/space_keeper.h"

#include "recording/disk_space.h"
#include "settings/metrics.h"

namespace {

constexpr int64_t rate_window_ms = 60000;

}  // namespace

space_keeper_obj::space_keeper_obj(std::string folder, int check_ms)
    : folder(std::move(folder)), interval(check_ms > 0 ? check_ms : 2000)
{
    check();
    thread = std::thread(&space_keeper_obj::run, this);
}

space_keeper_obj::~space_keeper_obj()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
}

void space_keeper_obj::space_ran_out()
{
    ran_out.fetch_add(1, std::memory_order_relaxed);
    room_.store(false, std::memory_order_relaxed);
    check_now();
}

void space_keeper_obj::check_now()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        asked = true;
    }
    wake.notify_one();
}

void space_keeper_obj::add_written(uint64_t n)
{
    const uint64_t now = bytes.fetch_add(n, std::memory_order_relaxed) + n;
    const uint64_t every = check_every.load(std::memory_order_relaxed);
    if (every == 0 || now - checked_at.load(std::memory_order_relaxed) < every)
        return;
    checked_at.store(now, std::memory_order_relaxed);
    check_now();
}

void space_keeper_obj::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait_for(lock, interval, [this] { return asked || stopping; });
        if (stopping)
            return;
        asked = false;
        lock.unlock();
        check();
        lock.lock();
    }
}

double space_keeper_obj::bytes_per_s()
{
    const int64_t now = metrics_clock_ms();
    samples.emplace_back(now, bytes.load(std::memory_order_relaxed));
    while (samples.size() > 2 && now - samples[1].first >= rate_window_ms)
        samples.pop_front();
    const int64_t span = now - samples.front().first;
    if (span <= 0)
        return 0;
    return double(samples.back().second - samples.front().second) * 1000.0 / double(span);
}

void space_keeper_obj::check()
{
    const uint64_t failures = ran_out.load(std::memory_order_relaxed);
    uint64_t size = 0, free = 0;
    const double rate = bytes_per_s();
    if (!disk_space_of(folder, &size, &free))
        return;
    const space_rule_t rule = space_rule(size, rate);
    max_file_.store(rule.max_file, std::memory_order_relaxed);
    check_every.store(rule.keep_free / 4, std::memory_order_relaxed);
    const room_result_t result = make_room(folder, rule.keep_free);
    if (!result.known)
        return;
    // Hysteresis: a pause lasts until free space is clearly back, so that
    // a disk hovering at the edge does not start a file a second.
    const bool had_room = room_.load(std::memory_order_relaxed);
    const bool room = result.free >= (had_room ? rule.pause_below : rule.resume_at);
    if (room && ran_out.load(std::memory_order_relaxed) != failures)
        return;  // the disk ran full while this check looked: the next one decides
    room_.store(room, std::memory_order_relaxed);
}
