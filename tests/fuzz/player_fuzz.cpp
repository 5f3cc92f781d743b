// libFuzzer target: what a camera sends, as the player receives it. The
// input is framed as for record_fuzz (stream_fuzz_input.h); the header opens
// a player port, every data block goes in as the camera layer hands it on,
// and the picture that comes of it, if any, is scaled as a snapshot would
// be. The decode thread runs as in the program, with a consumer looking, so
// an execution costs a decoder's start: this target runs far slower than
// the recording one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "player/player.h"
#include "tests/fuzz/stream_fuzz_input.h"

namespace {

// Long enough for a few pictures of a small stream to be decoded.
constexpr uint32_t picture_wait_ms = 50;

void play(const stream_fuzz_input_t& input)
{
    int32_t port = -1;
    if (!player_get_port(&port))
        std::abort();
    if (player_open_stream(port, input.header, input.header_length, 1 << 20) &&
        player_play(port, nullptr)) {
        for (const stream_fuzz_block_t& block : input.blocks)
            player_input_data(port, block.bytes, block.length);
        if (player_wait_picture(port, picture_wait_ms)) {
            std::vector<uint8_t> rows(64 * 3 * 48);
            player_get_scaled_dib(port, 64, 48, rows.data(), 64 * 3);
        }
        player_stop(port);
    }
    player_close_stream(port);
    player_free_port(port);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    av_log_set_level(AV_LOG_QUIET);
    player_hold_pictures(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    stream_fuzz_input_t input;
    if (split_stream_fuzz_input(data, size, &input))
        play(input);
    return 0;
}
