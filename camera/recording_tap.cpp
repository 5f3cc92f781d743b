// The recording tap of a preview and the table that finds it. The tap stays
// subscribed between two recordings, so a rotation (stop, then start at
// once) hands the new file the key-frame interval that is running. The
// files then overlap by less than one key-frame interval instead of leaving
// a gap. Lock order: the preview's sink lock, then a tap's lock, then a
// recorder's; the table lock is never held while a tap is called.
#include "camera/recording_tap.h"

#include <map>
#include <mutex>
#include <vector>

#include "camera/sdk_preview.h"
#include "recording/recorder.h"

namespace {

// A key-frame interval longer than this is not kept for the next file: it
// would start at the following key frame instead.
constexpr size_t max_interval_bytes = 16u << 20;

class recording_tap_obj final : public packet_sink_t {
public:
    recording_tap_obj() : parameters(avcodec_parameters_alloc()) {}
    ~recording_tap_obj() override;

    void stream_started(const AVCodecParameters* stream, AVRational stream_time_base) override;
    void stream_packet(const AVPacket* packet) override;
    void stream_ended() override;

    // Makes next the running recorder; returns the one before, for the
    // caller to finish outside the lock.
    std::unique_ptr<recorder_obj> attach(std::unique_ptr<recorder_obj> next);

private:
    void forget_interval();

    std::mutex mutex;                        // guards everything below
    std::unique_ptr<recorder_obj> recorder;  // the running recording, or null
    AVCodecParameters* parameters;           // the running stream's
    AVRational time_base{1, 90000};          // the running stream's packet time base
    bool streaming = false;                  // a stream runs (between started and ended)
    std::vector<AVPacket*> interval;         // references to the packets since the last key frame
    size_t interval_bytes = 0;               // their size
    bool interval_usable = false;            // interval begins with a key frame
};

recording_tap_obj::~recording_tap_obj()
{
    std::unique_ptr<recorder_obj> last = attach(nullptr);
    if (last)
        last->finish();
    forget_interval();
    avcodec_parameters_free(&parameters);
}

void recording_tap_obj::stream_started(const AVCodecParameters* stream,
                                       AVRational stream_time_base)
{
    std::lock_guard<std::mutex> lock(mutex);
    forget_interval();
    streaming = parameters && avcodec_parameters_copy(parameters, stream) >= 0;
    time_base = stream_time_base;
    if (recorder)
        recorder->stream_started(stream, stream_time_base);
}

void recording_tap_obj::stream_packet(const AVPacket* packet)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (packet->flags & AV_PKT_FLAG_KEY) {
        forget_interval();
        interval_usable = true;
    }
    if (interval_usable && interval_bytes + size_t(packet->size) <= max_interval_bytes) {
        AVPacket* copy = av_packet_clone(packet);
        if (copy) {
            interval.push_back(copy);
            interval_bytes += size_t(copy->size);
        }
    } else {
        forget_interval();
    }
    if (recorder)
        recorder->stream_packet(packet);
}

void recording_tap_obj::stream_ended()
{
    std::lock_guard<std::mutex> lock(mutex);
    forget_interval();
    streaming = false;
    if (recorder)
        recorder->stream_ended();
}

std::unique_ptr<recorder_obj> recording_tap_obj::attach(std::unique_ptr<recorder_obj> next)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::swap(recorder, next);
    if (recorder && streaming) {
        recorder->stream_started(parameters, time_base);
        for (const AVPacket* packet : interval)
            recorder->stream_packet(packet);
    }
    return next;
}

void recording_tap_obj::forget_interval()
{
    for (AVPacket*& packet : interval)
        av_packet_free(&packet);
    interval.clear();
    interval_bytes = 0;
    interval_usable = false;
}

std::mutex taps_mutex;  // guards taps
// The tap of each preview that has recorded. The preview owns its tap; the
// entry lapses when the preview ends.
std::map<const preview_obj*, std::weak_ptr<recording_tap_obj>> taps;

// The preview's tap, subscribed now if it has none yet.
std::shared_ptr<recording_tap_obj> tap_of(const std::shared_ptr<preview_obj>& preview,
                                          bool create)
{
    std::shared_ptr<recording_tap_obj> tap;
    {
        std::lock_guard<std::mutex> lock(taps_mutex);
        std::erase_if(taps, [](const auto& entry) { return entry.second.expired(); });
        auto it = taps.find(preview.get());
        if (it != taps.end())
            tap = it->second.lock();
        if (tap || !create)
            return tap;
        tap = std::make_shared<recording_tap_obj>();
        taps[preview.get()] = tap;
    }
    preview->add_sink(tap);
    return tap;
}

}  // namespace

bool start_saving(const std::shared_ptr<preview_obj>& preview, const std::string& path)
{
    int error = 0;
    std::unique_ptr<recorder_obj> recorder = recorder_obj::create(path, &error);
    if (!recorder)
        return false;
    std::unique_ptr<recorder_obj> before = tap_of(preview, true)->attach(std::move(recorder));
    if (before)
        before->finish();
    return true;
}

bool stop_saving(const std::shared_ptr<preview_obj>& preview)
{
    const std::shared_ptr<recording_tap_obj> tap = tap_of(preview, false);
    std::unique_ptr<recorder_obj> running = tap ? tap->attach(nullptr) : nullptr;
    if (!running)
        return false;
    running->finish();
    return true;
}
