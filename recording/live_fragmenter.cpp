// The live fragmenter: the MP4 writer in its one-frame mode, writing into
// memory. Its codec text comes from the init segment's decoder
// configuration record, which the muxer writes in one form whatever form
// the camera's parameter sets came in.
#include "recording/live_fragmenter.h"

#include <cstdio>
#include <cstring>

#include "recording/fmp4_writer.h"
#include "stream/media_av.h"

// The writer's output: appends to the fragmenter's bytes.
class live_output_obj final : public file_output_t {
public:
    explicit live_output_obj(live_fragmenter_obj& owner) : owner(owner) {}
    int write_all(const uint8_t* data, size_t length) override
    {
        std::vector<uint8_t>& b = owner.bytes;
        // What was taken is dropped before the buffer grows.
        if (owner.taken > 0 && owner.taken == b.size()) {
            b.clear();
            owner.taken = 0;
        }
        b.insert(b.end(), data, data + length);
        if (owner.codec_text.empty())
            owner.learn_codec();
        return 0;
    }
    int cut_back(uint64_t) override { return 0; }
    int sync() override { return 0; }
    void discard() override {}
    const std::string& path() const override { return name; }

private:
    live_fragmenter_obj& owner;
    const std::string name = "live stream";
};

namespace {

// The payload of the first box of that type inside bytes, found by its
// type tag; the sample description that holds it is not walked.
const uint8_t* find_record(const uint8_t* bytes, size_t length, const char* type, size_t* size)
{
    for (size_t i = 4; i + 4 <= length; i++) {
        if (std::memcmp(bytes + i, type, 4) != 0)
            continue;
        const uint32_t box = uint32_t(bytes[i - 4]) << 24 | uint32_t(bytes[i - 3]) << 16 |
                             uint32_t(bytes[i - 2]) << 8 | bytes[i - 1];
        if (box < 8 || i - 4 + box > length)
            return nullptr;
        *size = box - 8;
        return bytes + i + 4;
    }
    return nullptr;
}

// "hvc1.<space><profile>.<compatibility, bits reversed>.<tier><level>.<constraints>"
std::string hevc_codec(const uint8_t* r)
{
    static const char* const spaces[] = {"", "A", "B", "C"};
    uint32_t compat = uint32_t(r[2]) << 24 | uint32_t(r[3]) << 16 | uint32_t(r[4]) << 8 | r[5];
    uint32_t reversed = 0;
    for (int i = 0; i < 32; i++)
        reversed |= ((compat >> i) & 1u) << (31 - i);
    char text[96];
    int n = std::snprintf(text, sizeof text, "hvc1.%s%d.%X.%c%d", spaces[r[1] >> 6], r[1] & 0x1f,
                          reversed, (r[1] & 0x20) ? 'H' : 'L', r[12]);
    // Constraint bytes up to the last that is not zero.
    int last = 5;
    while (last >= 0 && r[6 + last] == 0)
        last--;
    for (int i = 0; i <= last && n > 0 && size_t(n) < sizeof text; i++)
        n += std::snprintf(text + n, sizeof text - size_t(n), ".%X", r[6 + i]);
    return text;
}

}  // namespace

std::string mp4_codec_of(const uint8_t* init, size_t length)
{
    size_t size = 0;
    if (const uint8_t* r = find_record(init, length, "avcC", &size); r && size >= 4) {
        char text[32];
        std::snprintf(text, sizeof text, "avc1.%02X%02X%02X", r[1], r[2], r[3]);
        return text;
    }
    if (const uint8_t* r = find_record(init, length, "hvcC", &size); r && size >= 13)
        return hevc_codec(r);
    return {};
}

live_fragmenter_obj::live_fragmenter_obj()
    : writer(std::make_unique<fmp4_writer_obj>(std::make_unique<live_output_obj>(*this),
                                               fragment_mode_t::frame))
{
}

// The writer ends first: finishing writes its last bytes into ours.
live_fragmenter_obj::~live_fragmenter_obj() { writer.reset(); }

void live_fragmenter_obj::learn_codec()
{
    codec_text = mp4_codec_of(bytes.data() + taken, bytes.size() - taken);
    // The track header's size (16.16 fixed point) follows the codec: the
    // moov has one track, so the first tkhd is its.
    size_t size = 0;
    const uint8_t* t = find_record(bytes.data() + taken, bytes.size() - taken, "tkhd", &size);
    const size_t at = t && t[0] == 1 ? 88 : 76;  // version 1 has 64-bit times
    if (t && size >= at + 8) {
        picture_width = int32_t((uint32_t(t[at]) << 8 | t[at + 1]));
        picture_height = int32_t((uint32_t(t[at + 4]) << 8 | t[at + 5]));
    }
    if (codec_text.empty())
        codec_text = "unknown";  // a codec of no known record: the init exists all the same
}

void live_fragmenter_obj::stream_started(const media_info_t& info)
{
    if (!stopped && !writer->stream_started(info.parameters, info.time_base))
        stopped = true;
}

void live_fragmenter_obj::stream_packet(const media_packet_t& packet, bool)
{
    if (!stopped && !writer->write(packet.av))
        stopped = true;
}

void live_fragmenter_obj::stream_ended()
{
    if (!stopped && !writer->stream_ended())
        stopped = writer->failed();
}

size_t live_fragmenter_obj::take(uint8_t* out, size_t room)
{
    const size_t n = std::min(room, ready());
    // An empty buffer may have no storage at all, and memcpy takes none.
    if (n == 0)
        return 0;
    std::memcpy(out, bytes.data() + taken, n);
    taken += n;
    return n;
}
