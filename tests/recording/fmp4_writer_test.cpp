// The MP4 writer and the recorder on packets made at once: every write
// leaves a playable file, a full disk cuts back to whole fragments, the
// timeline across reconnects, a slow disk, and a change of stream.
#include <gtest/gtest.h>

#include <thread>

#include <chrono>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "recording/fmp4_writer.h"
#include "recording/recorder.h"
#include "settings/log.h"
#include "tests/recording/recording_probe.h"

namespace {

constexpr int fps = 25;
constexpr int gop = 10;

// A disk in front of a real file: it keeps the size of every write, takes
// budget bytes in all and then fails like a full disk (the write that
// crosses the limit stores a part), and can hold writes at a gate.
class test_output_t : public file_output_t {
public:
    test_output_t(std::unique_ptr<file_output_t> file, size_t budget, std::vector<size_t>* writes)
        : writes(writes), file(std::move(file)), budget(budget)
    {
    }
    int write_all(const uint8_t* bytes, size_t length) override
    {
        {
            std::unique_lock<std::mutex> lock(mutex);
            waiting = true;
            changed.notify_all();
            changed.wait(lock, [this] { return open; });
            waiting = false;
        }
        if (length > budget) {
            file->write_all(bytes, budget);
            budget = 0;
            return ENOSPC;
        }
        budget -= length;
        if (writes)
            writes->push_back(length);
        return file->write_all(bytes, length);
    }
    int cut_back(uint64_t length) override { return file->cut_back(length); }
    int sync() override { return file->sync(); }
    void discard() override { file->discard(); }
    const std::string& path() const override { return file->path(); }

    void set_gate(bool is_open)
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = is_open;
        changed.notify_all();
    }
    void wait_until_writing()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return waiting; });
    }

    std::vector<size_t>* writes;  // sizes of the writes that succeeded, or null

private:
    std::unique_ptr<file_output_t> file;  // the real file
    size_t budget;                        // bytes the disk still takes
    std::mutex mutex;                     // guards the three below
    std::condition_variable changed;      // the gate or waiting changed
    bool open = true;                     // writes pass the gate
    bool waiting = false;                 // a write waits at the gate
};

std::unique_ptr<test_output_t> test_output(const std::string& path, size_t budget = SIZE_MAX,
                                           std::vector<size_t>* writes = nullptr)
{
    int error = 0;
    auto file = open_file_output(path, &error);
    return file ? std::make_unique<test_output_t>(std::move(file), budget, writes) : nullptr;
}

// A copy of packet with its times moved by shift.
AVPacket* shifted(const AVPacket* packet, int64_t shift)
{
    AVPacket* copy = av_packet_clone(packet);
    copy->pts += shift;
    copy->dts += shift;
    return copy;
}

void write_range(fmp4_writer_obj& writer, const encoded_stream_t& stream, size_t from, size_t to,
                 int64_t shift = 0)
{
    for (size_t i = from; i < to; i++) {
        AVPacket* packet = shifted(stream.packets[i], shift);
        writer.write(packet);
        av_packet_free(&packet);
    }
}

// The packet in two parts with its times and flags on both.
void write_split(fmp4_writer_obj& writer, const AVPacket* packet)
{
    AVPacket* first = av_packet_clone(packet);
    AVPacket* second = av_packet_clone(packet);
    first->size = packet->size / 3;
    second->data += first->size;
    second->size -= first->size;
    writer.write(first);
    writer.write(second);
    av_packet_free(&first);
    av_packet_free(&second);
}

class fmp4_writer_test : public ::testing::Test {
protected:
    temp_folder_t folder;
    encoded_stream_t stream{160, 120, fps, gop, 60};
    std::string path = folder.prefix() + "out.mp4";
};

}  // namespace

// A process killed between two writes leaves the file as it was after the
// first: each such state must play, and hold whole key-frame intervals.
TEST_F(fmp4_writer_test, every_write_leaves_a_playable_file_of_whole_key_frame_intervals)
{
    ASSERT_EQ(stream.packets.size(), 60u);
    std::vector<size_t> writes;
    fmp4_writer_obj writer(test_output(path, SIZE_MAX, &writes));
    ASSERT_TRUE(writer.stream_started(stream.parameters, stream.time_base));
    write_range(writer, stream, 0, 60);
    ASSERT_TRUE(writer.finish());

    const std::string whole = kestrel_test::read_file(path);
    ASSERT_GE(writes.size(), 6u);
    size_t end = 0;
    for (size_t i = 0; i < writes.size(); i++) {
        end += writes[i];
        const std::string cut = folder.prefix() + "cut" + std::to_string(i) + ".mp4";
        kestrel_test::write_file(cut, whole.substr(0, end));
        ASSERT_TRUE(plays_cleanly(cut)) << "after write " << i;
        // The last write is the index; every other one adds one interval.
        const size_t intervals = std::min(i + 1, size_t(6));
        EXPECT_EQ(probe_file(cut).dts.size(), intervals * gop) << "after write " << i;
    }
    EXPECT_EQ(end, whole.size());
    const probed_file_t all = probe_file(path);
    EXPECT_NEAR(all.duration_s, 60.0 / fps, 1e-6);
    EXPECT_EQ(all.width, 160);
}

TEST_F(fmp4_writer_test, full_disk_cuts_the_file_back_to_whole_fragments)
{
    // Find out where the fragments end on a disk without limits.
    std::vector<size_t> ends;
    {
        std::vector<size_t> writes;
        fmp4_writer_obj writer(test_output(folder.prefix() + "free.mp4", SIZE_MAX, &writes));
        writer.stream_started(stream.parameters, stream.time_base);
        write_range(writer, stream, 0, 60);
        writer.finish();
        size_t end = 0;
        for (size_t size : writes)
            ends.push_back(end += size);
    }
    ASSERT_GE(ends.size(), 3u);

    struct case_t {
        size_t budget;          // bytes the disk takes
        size_t packets_kept;    // in the file afterwards; 0 = no file
    };
    const case_t cases[] = {
        {ends[0] / 2, 0},                   // not even the first interval fits
        {ends[2] + 100, 3 * gop},           // the fourth interval breaks off
        {ends[1], 2 * gop},                 // full exactly after the second
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.budget);
        fmp4_writer_obj writer(test_output(path, c.budget));
        writer.stream_started(stream.parameters, stream.time_base);
        write_range(writer, stream, 0, 60);
        EXPECT_TRUE(writer.failed());
        EXPECT_EQ(writer.error(), ENOSPC);
        EXPECT_FALSE(writer.write(stream.packets[0]));  // nothing more goes in
        EXPECT_FALSE(writer.finish());
        if (c.packets_kept == 0) {
            EXPECT_FALSE(std::filesystem::exists(path));
            continue;
        }
        EXPECT_TRUE(plays_cleanly(path));
        EXPECT_EQ(probe_file(path).dts.size(), c.packets_kept);
    }
}

TEST_F(fmp4_writer_test, timeline_starts_at_zero_on_a_key_frame_and_grows_across_reconnects)
{
    fmp4_writer_obj writer(test_output(path));
    // The first connection joins in the middle of an interval: frames 3-9
    // can not be decoded without their key frame and are left out.
    writer.stream_started(stream.parameters, stream.time_base);
    write_range(writer, stream, 3, 30, 1000);
    writer.stream_ended();
    // A reconnect whose clock starts far before the first one's.
    writer.stream_started(stream.parameters, stream.time_base);
    write_range(writer, stream, 5, 40, -100000);
    writer.stream_ended();
    // And one whose clock jumps back in the middle (a camera clock reset),
    // and that sends two pictures, a key frame among them, in two packets
    // each, as an RTSP camera's stream may come.
    writer.stream_started(stream.parameters, stream.time_base);
    write_range(writer, stream, 0, 20, 5000);
    write_split(writer, stream.packets[20]);
    write_range(writer, stream, 21, 25, 0);
    write_split(writer, stream.packets[25]);
    write_range(writer, stream, 26, 30, 0);
    ASSERT_TRUE(writer.finish());

    ASSERT_TRUE(plays_cleanly(path));
    const probed_file_t p = probe_file(path);
    const size_t written = (30 - 10) + (40 - 10) + 30;
    EXPECT_EQ(p.dts.size(), written);
    // No gaps and no overlaps: the timeline grows by one frame period a frame.
    EXPECT_NEAR(p.duration_s, double(written) / fps, 1e-6);
}

// A hostile or broken camera may send any 64-bit time: the file's timeline
// still grows by one frame period a frame, without overflowing.
TEST_F(fmp4_writer_test, times_at_the_ends_of_the_range_keep_the_timeline)
{
    fmp4_writer_obj writer(test_output(path));
    writer.stream_started(stream.parameters, stream.time_base);
    const int64_t times[] = {INT64_MAX - 1, INT64_MIN + 1, INT64_MAX / 2, 0, INT64_MAX - 1, -7};
    for (size_t i = 0; i < 30; i++) {
        AVPacket* packet = av_packet_clone(stream.packets[i]);
        packet->dts = times[i % std::size(times)];
        packet->pts = times[(i + 1) % std::size(times)];
        writer.write(packet);
        av_packet_free(&packet);
    }
    ASSERT_TRUE(writer.finish());

    ASSERT_TRUE(plays_cleanly(path));
    const probed_file_t p = probe_file(path);
    EXPECT_EQ(p.dts.size(), 30u);
    EXPECT_NEAR(p.duration_s, 30.0 / fps, 1e-6);
}

// A camera that drops right after the next picture's access unit delimiter
// leaves a sample without a picture, which no player decodes cleanly.
TEST_F(fmp4_writer_test, a_connection_cut_before_its_picture_leaves_nothing_undecodable)
{
    fmp4_writer_obj writer(test_output(path));
    writer.stream_started(stream.parameters, stream.time_base);
    write_range(writer, stream, 0, 15);
    AVPacket* delimiter = av_packet_clone(stream.packets[15]);
    static const uint8_t aud[] = {0, 0, 0, 1, 9, 0x10};
    av_packet_unref(delimiter);
    ASSERT_EQ(av_new_packet(delimiter, sizeof aud), 0);
    std::memcpy(delimiter->data, aud, sizeof aud);
    delimiter->pts = delimiter->dts = stream.packets[15]->dts;
    writer.write(delimiter);
    av_packet_free(&delimiter);
    writer.stream_ended();
    writer.stream_started(stream.parameters, stream.time_base);
    write_range(writer, stream, 20, 30);
    ASSERT_TRUE(writer.finish());

    ASSERT_TRUE(plays_cleanly(path));
    EXPECT_EQ(probe_file(path).dts.size(), 25u);
}

TEST_F(fmp4_writer_test, a_file_goes_on_only_with_the_same_stream)
{
    encoded_stream_t other(176, 144, fps, gop, 10);
    fmp4_writer_obj writer(test_output(path));
    // Before the first frame the file can still take any stream.
    EXPECT_TRUE(writer.stream_started(other.parameters, other.time_base));
    EXPECT_TRUE(writer.stream_started(stream.parameters, stream.time_base));
    write_range(writer, stream, 0, 10);
    EXPECT_FALSE(writer.stream_started(other.parameters, other.time_base));
    EXPECT_TRUE(writer.stream_started(stream.parameters, stream.time_base));
    EXPECT_TRUE(writer.finish());
    EXPECT_EQ(probe_file(path).width, 160);
}

// What an RTSP camera's stream looks like to the camera layer: no picture
// size, and here not even parameter sets, until the first key frame.
TEST_F(fmp4_writer_test, stream_described_only_by_its_key_frames_is_recorded)
{
    encoded_stream_t in_band(176, 144, fps, gop, 30, true);
    ASSERT_EQ(in_band.parameters->extradata_size, 0);
    in_band.parameters->width = 0;
    in_band.parameters->height = 0;
    fmp4_writer_obj writer(test_output(path));
    writer.stream_started(in_band.parameters, in_band.time_base);
    write_range(writer, in_band, 0, 30);
    ASSERT_TRUE(writer.finish());
    ASSERT_TRUE(plays_cleanly(path));
    const probed_file_t p = probe_file(path);
    EXPECT_EQ(p.width, 176);
    EXPECT_EQ(p.height, 144);
    EXPECT_EQ(p.dts.size(), 30u);
}

TEST_F(fmp4_writer_test, a_recording_without_a_frame_leaves_no_file)
{
    fmp4_writer_obj writer(test_output(path));
    writer.stream_started(stream.parameters, stream.time_base);
    write_range(writer, stream, 1, gop);  // no key frame among them
    EXPECT_TRUE(writer.finish());
    EXPECT_FALSE(std::filesystem::exists(path));
}

namespace {

class recorder_test : public fmp4_writer_test {
protected:
    void SetUp() override { log_open(true, false, log_path.c_str(), "w"); }
    void TearDown() override { log_close(); }

    size_t log_count(const std::string& needle)
    {
        const std::string log = kestrel_test::read_file(log_path);
        size_t n = 0;
        for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
            n++;
        return n;
    }
    void push_range(recorder_obj& recorder, size_t from, size_t to)
    {
        for (size_t i = from; i < to; i++)
            recorder.stream_packet(stream.packets[i]);
    }

    std::string log_path = folder.prefix() + "test.log";
};

}  // namespace

TEST_F(recorder_test, slow_disk_drops_video_up_to_a_key_frame_and_says_so_once)
{
    test_output_t* gate = nullptr;
    const output_opener_t opener = [&](const std::string& p, int*) {
        auto output = test_output(p);
        gate = output.get();
        gate->set_gate(false);
        return output;
    };
    int error = 0;
    recorder_limits_t limits;
    limits.max_packets = 12;
    auto recorder = recorder_obj::create(path, &error, opener, limits);
    ASSERT_TRUE(recorder);
    recorder->stream_started(stream.parameters, stream.time_base);
    // The key frame of the second interval makes the writer write the first
    // one, and the disk holds it there.
    push_range(*recorder, 0, gop + 1);
    gate->wait_until_writing();
    // Twelve more fit in the queue (up to frame 22); the rest up to frame 35,
    // the key frame 30 included, is dropped while the disk is stuck.
    push_range(*recorder, gop + 1, 35);
    gate->set_gate(true);
    push_range(*recorder, 35, 60);
    recorder->finish();

    EXPECT_EQ(log_count("the disk falls behind"), 1u);
    ASSERT_TRUE(plays_cleanly(path));
    const size_t kept = probe_file(path).dts.size();
    EXPECT_GE(kept, 23u);
    EXPECT_LE(kept, 23u + 20u);  // at most frames 40-59 came back
}

TEST_F(recorder_test, write_failure_is_logged_once_and_ends_the_file_cleanly)
{
    size_t budget = 0;
    {
        // One interval and a half of what this stream needs.
        fmp4_writer_obj probe(test_output(folder.prefix() + "measure.mp4"));
        probe.stream_started(stream.parameters, stream.time_base);
        write_range(probe, stream, 0, 60);
        probe.finish();
        budget = std::filesystem::file_size(folder.prefix() + "measure.mp4") / 4;
    }
    const output_opener_t opener = [&](const std::string& p, int*) {
        return test_output(p, budget);
    };
    int error = 0;
    auto recorder = recorder_obj::create(path, &error, opener);
    ASSERT_TRUE(recorder);
    recorder->stream_started(stream.parameters, stream.time_base);
    push_range(*recorder, 0, 60);
    recorder->stream_ended();
    recorder->stream_started(stream.parameters, stream.time_base);
    push_range(*recorder, 0, 60);
    recorder->finish();

    EXPECT_EQ(log_count("rec: can not write " + path + " (No space left on device)"), 1u);
    ASSERT_TRUE(plays_cleanly(path));
    EXPECT_LT(std::filesystem::file_size(path), budget);
}

// The disk runs full in the first file and has room again afterwards: the
// failure is logged once, the first file keeps its whole fragments, and the
// recording goes on in a new file from a key frame once the space keeper
// has looked. A file that can not be created is logged with its path.
TEST_F(recorder_test, out_of_space_goes_on_in_a_new_file_when_there_is_room)
{
    size_t budget = 0;
    {
        // One interval and a half of what this stream needs.
        fmp4_writer_obj probe(test_output(folder.prefix() + "measure.mp4"));
        probe.stream_started(stream.parameters, stream.time_base);
        write_range(probe, stream, 0, 60);
        probe.finish();
        budget = std::filesystem::file_size(folder.prefix() + "measure.mp4") / 4;
        std::filesystem::remove(folder.prefix() + "measure.mp4");
    }
    int opened = 0;
    const output_opener_t opener = [&](const std::string& p, int* e) -> std::unique_ptr<file_output_t> {
        opened++;
        if (opened == 2) {  // the first try after the failure: still full
            *e = ENOSPC;
            return nullptr;
        }
        return test_output(p, opened == 1 ? budget : SIZE_MAX);
    };
    int error = 0;
    recorder_limits_t limits;
    limits.space_check_ms = 50;
    auto recorder = recorder_obj::create(path, &error, opener, limits);
    ASSERT_TRUE(recorder);
    recorder->stream_started(stream.parameters, stream.time_base);
    push_range(*recorder, 0, 2 * gop);
    // Key-frame intervals, each as a connection of its own, until the new
    // file begins.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (recorder->files_begun() < 2 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        recorder->stream_ended();
        recorder->stream_started(stream.parameters, stream.time_base);
        push_range(*recorder, 0, gop + 1);
    }
    recorder->stream_ended();
    recorder->stream_started(stream.parameters, stream.time_base);
    push_range(*recorder, 0, 3 * gop);
    recorder->finish();

    EXPECT_EQ(recorder->files_begun(), 2);
    EXPECT_EQ(log_count("rec: can not write " + path + " (No space left on device)"), 1u);
    EXPECT_EQ(log_count("rec: can not create " + folder.prefix()), 1u) << kestrel_test::read_file(log_path);
    EXPECT_EQ(log_count("rec: space is back, recording goes on in "), 1u);
    const std::vector<std::string> files = files_in(folder.prefix(), ".mp4");
    ASSERT_EQ(files.size(), 2u);
    for (const std::string& name : files)
        EXPECT_TRUE(plays_cleanly(folder.prefix() + name)) << name;
    EXPECT_LT(std::filesystem::file_size(path), budget);
    EXPECT_GE(probe_file(path).dts.size(), size_t(gop));
}

TEST_F(recorder_test, changed_stream_goes_on_in_a_new_file_beside_the_first)
{
    encoded_stream_t other(176, 144, fps, gop, 30);
    int error = 0;
    auto recorder = recorder_obj::create(path, &error);
    ASSERT_TRUE(recorder);
    recorder->stream_started(stream.parameters, stream.time_base);
    push_range(*recorder, 0, 30);
    recorder->stream_ended();
    recorder->stream_started(other.parameters, other.time_base);
    for (const AVPacket* packet : other.packets)
        recorder->stream_packet(packet);
    recorder->finish();

    EXPECT_EQ(recorder->files_begun(), 2);
    const std::vector<std::string> files = files_in(folder.prefix(), ".mp4");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(log_count("rec: the camera stream changed, recording goes on in "), 1u);
    for (const std::string& name : files) {
        ASSERT_TRUE(plays_cleanly(folder.prefix() + name));
        EXPECT_EQ(probe_file(folder.prefix() + name).width, name == "out.mp4" ? 160 : 176);
    }
}

TEST_F(recorder_test, file_that_can_not_be_created_is_refused_and_logged_with_its_path)
{
    int error = 0;
    EXPECT_FALSE(recorder_obj::create("/nonexistent-folder/x.mp4", &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(log_count("rec: can not create /nonexistent-folder/x.mp4 (No such file or directory)\r\n"), 1u);
}
