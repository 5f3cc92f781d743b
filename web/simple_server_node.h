// simple_server_node: the HTTP side of one accepted connection. Receives
// until the bytes end with an empty line, answers every pipelined request of
// the batch (Basic authentication once per connection, routing, files) in
// its output buffer, sends them with one job, and receives again. A file
// answer larger than the room left goes out through the same buffer piece by
// piece over later sends; the requests behind it are answered after it. Runs
// on the web server thread under server_lock; owned by the server, owns its
// two buffers and the descriptor of the file it is sending.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "net/se_server_node.h"
#include "settings/text_map.h"

// Requests of one connection whose credentials are compared, minus one: a
// connection with more attempts than this is refused without a check.
constexpr int32_t max_auth_attempts = 3;

class simple_server_node : public se_server_node {
public:
    // Buffer sizes and the part delay come from the settings of this moment.
    simple_server_node();
    ~simple_server_node() override;

    void on_step() override;
    // The job's interest, and what on_step waits for: a received batch is
    // answered in the next step at once, a stream part when it is due.
    se_interest_t wait_interest() const override;
    void on_job_finished() override;
    void on_connected() override;
    void on_disconnected() override;

    // "<time> node (ip = <peer>, port = <port>) <event>" as one log line.
    void log_event(const std::string& event);
    // The framed block form: separator, event line, text, separator.
    void log_block(const std::string& event, const std::string& text);
    // start_job with its "activated" or "can not activate" line.
    bool start_logged_job(uint8_t job, bool immediate);

    bool etx_detected = false;  // the received bytes ended with an empty line at the last check
    bool authorized = false;    // the connection passed authentication; stays true
    int32_t auth_attempts = 0;  // requests of this connection whose credentials were checked
    int32_t in_size = 0;        // capacity of in_buffer
    char* in_buffer = nullptr;  // receive area; requests are parsed in place
    int32_t out_size = 0;       // capacity of out_buffer
    char* out_buffer = nullptr; // send area for a batch of responses or a stream part

    // The live picture routes' state.
    int32_t req_width = 0;       // picture width requested by the query
    int32_t req_height = 0;      // picture height requested by the query
    bool keep_aspect = false;    // fit into req_width x req_height keeping the aspect ratio
    int32_t quality = 50;        // JPEG quality; the query key "q" changes it for the connection
    bool streaming = false;      // the connection carries an MJPEG stream and never receives again
    int64_t last_part_time = 0;  // when the last part was due (or the header was prepared), stream_clock_ms
    int32_t part_delay = 0;      // minimum spacing of stream parts, ms (frame_delay at creation)
    std::string boundary = "boundarydonotcross";  // multipart boundary of the stream
    int64_t picture_wait_start = 0;  // when the wait for a live picture began, stream_clock_ms; 0 = none

    // The file answer under way, and the rest of the batch behind it.
    int file_fd = -1;         // open while pieces of a file answer are still to be sent
    int64_t file_at = 0;      // offset of the next piece
    int64_t file_end = 0;     // offset just past the answer's last byte
    int32_t batch_at = 0;     // offset in in_buffer of the first request not yet answered
    int32_t batch_end = 0;    // offset in in_buffer where the received batch ends
    int64_t turn_started = 0; // when this node's turn of the server step began, microseconds

private:
    // What composing one response came to.
    enum class composed_t {
        response,  // a response of length/header_length stands at the write position
        no_room,   // not even a short response fits: the connection closes
        refused,   // the request is refused without a response: the connection closes
        later,     // the picture it needs is on its way: the batch goes on in a later step
    };
    // The batch being answered: where the next response goes and its room.
    struct batch_t {
        char* at;      // write position in out_buffer
        int64_t room;  // bytes left in out_buffer
        int32_t length = 0;         // length of the response just composed
        int32_t header_length = 0;  // its header, up to and including the empty line
    };
    // One parsed request, as routing needs it.
    struct request_t {
        std::string method;
        std::string user;
        std::string password;
        std::string host;  // value of the "Host" header, or empty
        std::string path;
        std::string fragment;
        const char* query_begin = nullptr;
        const char* query_end = nullptr;
        text_map headers;
    };

    void start_receiving();
    bool ends_with_empty_line() const;
    void answer_etx(bool abort_receive);
    void answer_batch();
    void answer_rest();
    void send_next_piece();
    void close_file();
    bool turn_left() const;
    bool parse_one(const char*& cursor, const char* end, request_t& request);
    composed_t answer(const request_t& request, batch_t& batch);
    bool credentials_match(const request_t& request) const;
    // Counts a failed check against the peer's address (auth_lockout).
    void count_failure(const request_t& request);
    composed_t route(const request_t& request, batch_t& batch);
    composed_t serve_file(const std::string& file_path, const request_t& request, batch_t& batch);
    composed_t serve_regular_file(const std::string& file_path, int64_t size, std::time_t modified,
                                  const request_t& request, batch_t& batch);
    composed_t short_response(batch_t& batch, const char* status, const std::string& extra = {});
    void finish_response(batch_t& batch);
    bool part_due() const;
    int64_t next_part_time() const;
    bool batch_received() const;

    // The batch rests at batch_at until its live picture comes.
    bool batch_waiting = false;
};
