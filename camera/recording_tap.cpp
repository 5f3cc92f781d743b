// A recording's subscription to its preview's packets, and the table that
// finds the one running for a preview. A new recording subscribes before
// the one it replaces leaves, and the fan-out hands it the running
// key-frame interval at once: a rotation (stop, then start at once) loses
// nothing; the files overlap by less than one key-frame interval instead of
// leaving a gap. Lock order: the fan-out's lock, then a recorder's.
#include "camera/recording_tap.h"

#include <map>
#include <mutex>

#include "camera/sdk_preview.h"
#include "recording/recorder.h"
#include "stream/media_av.h"

namespace {

class recording_tap_obj final : public packet_subscriber_t {
public:
    explicit recording_tap_obj(std::unique_ptr<recorder_obj> recorder)
        : recorder(std::move(recorder))
    {
    }

    void stream_started(const media_info_t& info) override
    {
        recorder->stream_started(info.parameters, info.time_base);
    }
    void stream_packet(const media_packet_t& packet, bool) override
    {
        recorder->stream_packet(packet.av);
    }
    void stream_ended() override { recorder->stream_ended(); }

    // Returns when the file is complete; after the tap left the fan-out.
    void finish() { recorder->finish(); }

private:
    const std::unique_ptr<recorder_obj> recorder;  // the recording this tap feeds
};

struct running_t {
    std::weak_ptr<packet_fanout_obj> fanout;   // where the tap is subscribed
    std::unique_ptr<recording_tap_obj> tap;    // the running recording
};

std::mutex taps_mutex;  // guards taps; never held while a fan-out is called
// The running recording of each preview that records.
std::map<const preview_obj*, running_t> taps;

// Takes the preview's running recording out of the table, if any.
std::unique_ptr<recording_tap_obj> take_running(const preview_obj* preview)
{
    std::lock_guard<std::mutex> lock(taps_mutex);
    auto it = taps.find(preview);
    if (it == taps.end())
        return nullptr;
    std::unique_ptr<recording_tap_obj> tap = std::move(it->second.tap);
    taps.erase(it);
    return tap;
}

// Unsubscribes the tap and completes its file.
void end_recording(const std::shared_ptr<preview_obj>& preview,
                   std::unique_ptr<recording_tap_obj> tap)
{
    if (!tap)
        return;
    preview->packets()->unsubscribe(tap.get());
    tap->finish();
}

}  // namespace

bool start_saving(const std::shared_ptr<preview_obj>& preview, const std::string& path)
{
    int error = 0;
    std::unique_ptr<recorder_obj> recorder = recorder_obj::create(path, &error);
    if (!recorder)
        return false;
    auto tap = std::make_unique<recording_tap_obj>(std::move(recorder));
    preview->packets()->subscribe(tap.get());
    std::unique_ptr<recording_tap_obj> before = take_running(preview.get());
    {
        std::lock_guard<std::mutex> lock(taps_mutex);
        taps[preview.get()] = {preview->packets(), std::move(tap)};
    }
    end_recording(preview, std::move(before));
    return true;
}

bool stop_saving(const std::shared_ptr<preview_obj>& preview)
{
    std::unique_ptr<recording_tap_obj> running = take_running(preview.get());
    if (!running)
        return false;
    end_recording(preview, std::move(running));
    return true;
}
