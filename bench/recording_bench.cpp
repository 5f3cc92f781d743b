// Recording benchmark: the RTSP test server sends 1920x1080 at 25 frames per
// second on loopback; this process records it through the camera layer
// (sdk_start_save, no player) while ffmpeg copies the same stream into a
// fragmented MP4 beside it. Prints the CPU time (user + system) of both.
// Usage: recording_bench [seconds (60)] [folder for the two files (/tmp)]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "camera/sdk.h"
#include "tests/support/rtsp_server_process.h"

extern char** environ;

namespace {

double seconds_of(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

double cpu_seconds(const rusage& u) { return seconds_of(u.ru_utime) + seconds_of(u.ru_stime); }

double own_cpu_seconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpu_seconds(u);
}

pid_t start_ffmpeg(const std::string& url, int seconds, const std::string& out)
{
    const std::vector<std::string> args = {
        "ffmpeg", "-nostdin", "-v", "error", "-y", "-rtsp_transport", "tcp", "-i", url,
        "-t", std::to_string(seconds), "-c", "copy", "-f", "mp4",
        "-movflags", "frag_keyframe+empty_moov", out};
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

long long file_size(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return -1;
    std::fseek(f, 0, SEEK_END);
    const long long n = std::ftell(f);
    std::fclose(f);
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const std::string ours = folder + "/recording_bench_kestrel.mp4";
    const std::string theirs = folder + "/recording_bench_ffmpeg.mp4";

    rtsp_server_process server;
    if (!server.start({"--path", "/ch1/main=1920x1080@25", "--bitrate", "4000"})) {
        std::fprintf(stderr, "the RTSP test server did not start\n");
        return 1;
    }
    sdk_init();
    sdk_set_connect_time(5000, 1);
    const int32_t login =
        sdk_login("127.0.0.1", uint16_t(server.port()), "admin", "secret", nullptr);
    const preview_request_t request{1, 0, 0, 0};
    const int32_t preview = sdk_start_preview(login, &request, nullptr, nullptr, 0);
    if (preview < 0) {
        std::fprintf(stderr, "no preview of %s\n", server.url("/ch1/main").c_str());
        return 1;
    }

    const pid_t ffmpeg = start_ffmpeg(server.url("/ch1/main"), seconds, theirs);
    const double cpu_before = own_cpu_seconds();
    const bool saving = sdk_start_save(preview, ours.c_str());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    sdk_stop_save(preview);
    const double ours_cpu = own_cpu_seconds() - cpu_before;
    sdk_stop_preview(preview);
    sdk_logout(login);
    sdk_cleanup();

    rusage theirs_usage{};
    int status = 0;
    if (ffmpeg > 0)
        wait4(ffmpeg, &status, 0, &theirs_usage);
    server.stop();
    const double theirs_cpu = cpu_seconds(theirs_usage);

    std::printf("recording 1920x1080@25 over RTSP/TCP for %d s\n", seconds);
    std::printf("kestrel recorder: %.2f s CPU, %lld bytes%s\n", ours_cpu, file_size(ours),
                saving ? "" : " (sdk_start_save failed)");
    std::printf("ffmpeg -c copy:   %.2f s CPU, %lld bytes%s\n", theirs_cpu, file_size(theirs),
                ffmpeg > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : " (failed)");
    if (theirs_cpu > 0)
        std::printf("ratio: %.2f (goal: at most 1.20)\n", ours_cpu / theirs_cpu);
    return 0;
}
