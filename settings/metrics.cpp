// The counters' storage. Answer codes and stream routes sit in fixed tables
// so that counting never allocates: a route's slot is taken once, under a
// lock, and counted with atomics from then on.
#include "settings/metrics.h"

#include <array>
#include <chrono>
#include <cstring>
#include <mutex>

metrics_t metrics;

namespace {

// The codes the web server answers with; anything else counts as "other".
constexpr std::array<int, 14> answer_codes = {200, 206, 302, 304, 400, 401, 403,
                                              404, 405, 408, 413, 416, 500, 503};
std::array<std::atomic<uint64_t>, answer_codes.size() + 1> answers{};

struct stream_slot_t {
    std::atomic<const char*> route{nullptr};  // the route's name (a literal), null = free
    std::atomic<int64_t> clients{0};
};
std::array<stream_slot_t, 8> stream_slots;  // more streaming routes than the server has
std::mutex stream_slot_mutex;               // taking a free slot

stream_slot_t* slot_of(const char* route)
{
    for (stream_slot_t& slot : stream_slots) {
        const char* name = slot.route.load(std::memory_order_acquire);
        if (name != nullptr && std::strcmp(name, route) == 0)
            return &slot;
    }
    std::lock_guard<std::mutex> lock(stream_slot_mutex);
    for (stream_slot_t& slot : stream_slots) {
        const char* name = slot.route.load(std::memory_order_acquire);
        if (name == nullptr) {
            slot.route.store(route, std::memory_order_release);
            return &slot;
        }
        if (std::strcmp(name, route) == 0)
            return &slot;
    }
    return nullptr;
}

}  // namespace

int64_t metrics_clock_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void metrics_count_answer(int code)
{
    size_t i = 0;
    while (i < answer_codes.size() && answer_codes[i] != code)
        i++;
    answers[i].fetch_add(1, std::memory_order_relaxed);
}

std::vector<labelled_count_t> metrics_answers()
{
    std::vector<labelled_count_t> list;
    for (size_t i = 0; i <= answer_codes.size(); i++) {
        const uint64_t n = answers[i].load(std::memory_order_relaxed);
        if (n > 0)
            list.push_back({i < answer_codes.size() ? std::to_string(answer_codes[i]) : "other",
                            int64_t(n)});
    }
    return list;
}

void metrics_stream_client(const char* route, int delta)
{
    if (stream_slot_t* slot = slot_of(route))
        slot->clients.fetch_add(delta, std::memory_order_relaxed);
}

std::vector<labelled_count_t> metrics_stream_clients()
{
    std::vector<labelled_count_t> list;
    for (const stream_slot_t& slot : stream_slots)
        if (const char* name = slot.route.load(std::memory_order_acquire))
            list.push_back({name, slot.clients.load(std::memory_order_relaxed)});
    return list;
}
