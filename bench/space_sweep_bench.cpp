// The free-space sweep over a folder of 10,000 recordings (bench/space_sweep.sh
// gives it a tmpfs): the time of a sweep that deletes the oldest few, of
// one that deletes them all, and the longest a writer thread's calls into
// the space keeper take while the keeper's own thread sweeps.
// usage: space_sweep_bench FOLDER/ [FILES]
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "recording/disk_space.h"
#include "recording/space_keeper.h"
#include "settings/log.h"
#include "settings/metrics.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

void make_recordings(const std::string& folder, int count)
{
    const std::string bytes(4096, 'r');
    for (int i = 0; i < count; i++) {
        // One a minute, written in no particular order.
        const int n = (i * 7919) % count;
        std::ofstream(folder + utc_timestamp_of(1700000000 + std::time_t(n) * 60) + ".mp4") << bytes;
    }
}

uint64_t free_of(const std::string& folder)
{
    uint64_t size = 0, free = 0;
    disk_space_of(folder, &size, &free);
    return free;
}

// Calls as a writer makes them per packet and per fragment, for three
// seconds; an ever faster recording makes the rule ask for more and more
// free space, so that the keeper sweeps whenever it looks.
void writer_calls(const char* what, const std::string& folder)
{
    space_keeper_obj keeper(folder, 20);
    std::vector<double> calls_us;
    calls_us.reserve(1u << 24);
    const auto start = clock_type::now();
    while (ms_since(start) < 3000 && calls_us.size() < (1u << 24)) {
        const auto call = clock_type::now();
        keeper.add_written(1u << 20);
        const bool room = keeper.room();
        const uint64_t limit = keeper.max_file();
        calls_us.push_back(ms_since(call) * 1000.0 + (room && limit == 0 ? 1e-9 : 0));
    }
    std::sort(calls_us.begin(), calls_us.end());
    std::printf("%s: %zu, median %.2f us, 99.99 %% under %.1f us, longest %.1f us\n", what,
                calls_us.size(), calls_us[calls_us.size() / 2],
                calls_us[calls_us.size() * 9999 / 10000], calls_us.back());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: space_sweep_bench FOLDER/ [FILES]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const int files = argc > 2 ? std::atoi(argv[2]) : 10000;
    log_open(true, false, "/dev/null", "w");  // a line per deletion: not what is measured

    // Twenty sweeps that each delete the oldest recording: the listing of
    // all of them is the cost. On a shared machine the least is the cost,
    // the median what the machine's load adds.
    make_recordings(folder, files);
    std::vector<double> sweeps;
    for (int round = 0; round < 20; round++) {
        const auto start = clock_type::now();
        make_room(folder, free_of(folder) + 4096);
        sweeps.push_back(ms_since(start));
    }
    std::sort(sweeps.begin(), sweeps.end());
    std::printf("sweep over %d recordings deleting the oldest: least %.2f ms, median %.2f ms, most %.2f ms\n",
                files, sweeps.front(), sweeps[sweeps.size() / 2], sweeps.back());
    {
        const auto start = clock_type::now();
        const room_result_t r = make_room(folder, UINT64_MAX);
        std::printf("sweep deleting all %d: %.2f ms\n", r.deleted, ms_since(start));
    }

    // The writer's calls into the keeper, as fast as this thread can make
    // them for three seconds, first with nothing to sweep, then while the
    // keeper's thread sweeps 10,000 recordings again and again: the long
    // calls of both are this machine's scheduling, a sweep adds none.
    writer_calls("writer calls, keeper with nothing to delete", folder);
    make_recordings(folder, files);
    const uint64_t deleted_before = metrics.deleted_for_space.load();
    writer_calls("writer calls, keeper sweeping 10,000 recordings", folder);
    std::printf("the keeper deleted %llu meanwhile\n",
                static_cast<unsigned long long>(metrics.deleted_for_space.load() - deleted_before));
    log_close();
    return 0;
}
