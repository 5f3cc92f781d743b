// simple_server_node: the HTTP side of one accepted connection. Receives
// until the bytes end with an empty line, answers every pipelined request of
// the batch (Basic authentication once per connection, then the route the
// route table finds for its name) in its output buffer, sends them with one
// job, and receives again. A route may keep the connection after its answer:
// a file sent in pieces over later sends (the requests behind it are
// answered after it), or a stream that owns the connection from then on. Runs
// on the web server thread under server_lock; owned by the server, owns its
// two buffers and its routes' objects.
#pragma once

#include <cstdint>
#include <string>

#include "net/se_server_node.h"
#include "web/route_table.h"

// Requests of one connection whose credentials are compared, minus one: a
// connection with more attempts than this is refused without a check.
constexpr int32_t max_auth_attempts = 3;

class simple_server_node : public se_server_node, public route_connection {
public:
    // Buffer sizes come from the settings of this moment; the routes from
    // the table (the server's unless a test gives its own).
    explicit simple_server_node(const route_table& table = web_routes());
    ~simple_server_node() override;

    void on_step() override;
    // The job's interest, and what on_step waits for: a received batch is
    // answered in the next step at once, a route's answer or stream part at
    // the route's due time.
    se_interest_t wait_interest() const override;
    void on_job_finished() override;
    void on_connected() override;
    void on_disconnected() override;

    void log_event(const std::string& event) override;
    void log_block(const std::string& event, const std::string& text) override;
    std::string peer_address() const override { return peer_address_text(); }
    int64_t turn_started_us() const override { return turn_started; }
    // start_job with its "activated" or "can not activate" line.
    bool start_logged_job(uint8_t job, bool immediate);

    bool etx_detected = false;  // the received bytes ended with an empty line at the last check
    bool authorized = false;    // the connection passed authentication; stays true
    int32_t auth_attempts = 0;  // requests of this connection whose credentials were checked
    int32_t in_size = 0;        // capacity of in_buffer
    char* in_buffer = nullptr;  // receive area; requests are parsed in place
    int32_t out_size = 0;       // capacity of out_buffer
    char* out_buffer = nullptr; // send area for a batch of responses, a piece or a stream part

    int32_t batch_at = 0;     // offset in in_buffer of the first request not yet answered
    int32_t batch_end = 0;    // offset in in_buffer where the received batch ends
    int64_t turn_started = 0; // when this node's turn of the server step began, route_clock_us

private:
    bool quiet_job = false;  // the running _send is a quiet stream part: no line unless it fails
    void start_receiving();
    bool ends_with_empty_line() const;
    void answer_etx(bool abort_receive);
    void answer_batch();
    void answer_rest();
    void send_next_piece();
    void send_stream_part();
    void send_out(int32_t length, bool immediate);
    bool parse_one(const char*& cursor, const char* end, route_request_t& request);
    route_answer_t answer(route_request_t& request, route_slot_t& slot, route_handler*& handler);
    bool credentials_match(const route_request_t& request) const;
    // Counts a failed check against the peer's address (auth_lockout).
    void count_failure(const route_request_t& request);
    void finish_response(route_slot_t& slot);
    bool batch_received() const;
    route_mode_t current_mode() const;

    route_set routes;  // this connection's object of every route
    // The route whose answer is still under way: it said "later" (the batch
    // rests at batch_at until it is asked again), or it sends pieces, or it
    // streams. Null when none.
    route_handler* current = nullptr;
    bool batch_waiting = false;  // current said "later"
};
