// A live stream's fragmented MP4: the camera's packets by stream copy, one
// fragment (moof + mdat) per frame as each packet comes, behind one init
// segment (ftyp + moov). The same writer as the recordings' files, with
// fragments of one frame and its output in memory. A reconnection of the
// camera with the same stream parameters continues the timeline; with
// other parameters the stream can not go on (ended()). Used by one thread
// (the web server's); fed from a live subscriber's queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stream/packet_fanout.h"

class fmp4_writer_obj;

class live_fragmenter_obj final : public packet_subscriber_t {
public:
    live_fragmenter_obj();
    ~live_fragmenter_obj() override;

    void stream_started(const media_info_t& info) override;
    void stream_packet(const media_packet_t& packet, bool cached) override;
    void stream_ended() override;

    // The init segment has been formed: codec() and size are known.
    bool has_init() const { return !codec_text.empty(); }
    // The RFC 6381 codec of the stream: "avc1.PPCCLL" or "hvc1...".
    const std::string& codec() const { return codec_text; }
    int32_t width() const { return picture_width; }
    int32_t height() const { return picture_height; }
    // The stream can not go on: other stream parameters came, or writing failed.
    bool ended() const { return stopped; }

    // Bytes formed and not yet taken.
    size_t ready() const { return bytes.size() - taken; }
    // Copies up to room ready bytes to out; returns how many.
    size_t take(uint8_t* out, size_t room);

private:
    friend class live_output_obj;
    void learn_codec();

    std::unique_ptr<fmp4_writer_obj> writer;  // forms the MP4; writes into bytes
    std::vector<uint8_t> bytes;  // formed bytes; the first taken ones are dropped now and then
    size_t taken = 0;            // bytes of bytes already taken
    std::string codec_text;      // empty until the init segment was formed
    int32_t picture_width = 0;   // from the init segment's description
    int32_t picture_height = 0;
    bool stopped = false;        // the stream can not go on
};

// The codec text of an init segment (its avcC or hvcC record); empty when
// it holds neither.
std::string mp4_codec_of(const uint8_t* init, size_t length);
