// route: what a name of the web server answers with. A route is a class
// derived from route_handler; the route table (web/route_table.h) makes one
// object of it for every connection, so all its per-connection state lives
// in that object. The connection (web/simple_server_node) parses and
// authenticates a request, the table finds its route, and the route composes
// the answer; the connection knows nothing of any route. Web server thread
// under server_lock, except route_signal_t::raise, which any thread may call.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "settings/text_map.h"

// One authorised request as the routes see it.
struct route_request_t {
    // From the request line and its target, undecoded.
    std::string method;
    std::string user;
    std::string password;
    std::string host;  // value of the "Host" header, or empty
    std::string path;  // below the root, without the leading "/"
    std::string fragment;
    const char* query_begin = nullptr;  // the query's bytes in the input buffer
    const char* query_end = nullptr;
    text_map headers;
    // Filled in by the table before any route sees the request.
    text_map query;          // the parsed query
    std::string name;        // path percent-decoded: the name looked up
    std::string file_path;   // root + name, "index.htm" added to a folder
};

// The value of a request header (exact name), or empty.
std::string route_header(const route_request_t& request, const char* name);

// Where one answer of the batch goes in the output buffer.
struct route_slot_t {
    char* at = nullptr;          // write position
    int64_t room = 0;            // bytes left behind it
    bool behind_others = false;  // earlier answers of the batch are in the buffer already
    int32_t length = 0;          // the answer's total length, set by the route
    int32_t header_length = 0;   // its header, up to and including the empty line
};

// What composing one answer came to.
enum class route_answer_t {
    response,  // a response of slot.length stands at slot.at
    no_room,   // it does not fit: behind other answers it is tried again from an
               // empty buffer, else the connection closes
    refused,   // refused without a response: the connection closes
    later,     // what it needs is on its way: asked again at due_ms()
};

// What the connection does after a route's response went out.
enum class route_mode_t {
    answered,  // the next request of the batch, or receive again
    pieces,    // next_piece fills the output buffer for the next send
    stream,    // the route owns the connection: stream_part when no send runs
};

// What a route may ask of its connection.
class route_connection {
public:
    // "<time> node (ip = <peer>, port = <port>) <event>" as one log line.
    virtual void log_event(const std::string& event) = 0;
    // The framed block form: separator, event line, text, separator.
    virtual void log_block(const std::string& event, const std::string& text) = 0;
    virtual std::string peer_address() const = 0;
    // When this connection's turn of the server step began, route_clock_us:
    // a route sending pieces keeps to its share of the step.
    virtual int64_t turn_started_us() const = 0;

protected:
    ~route_connection() = default;
};

class route_handler {
public:
    virtual ~route_handler() = default;

    // Every authorised GET of the connection passes here, whatever its
    // route, before it is answered (state a connection keeps across routes).
    virtual void observe(const route_request_t&) {}
    // Composes one answer into slot (at most slot.room bytes).
    virtual route_answer_t answer(route_connection& connection, const route_request_t& request,
                                  route_slot_t& slot) = 0;
    // Asked after the response went into the buffer, and after each piece.
    virtual route_mode_t mode() const { return route_mode_t::answered; }
    // pieces: the next piece into buffer (size bytes at most): true with its
    // length, and whether it may go out within this turn of the server step;
    // false (the file shrank, a read failed) closes the connection.
    virtual bool next_piece(route_connection&, char*, int32_t, int32_t& length, bool& immediate)
    {
        length = 0;
        immediate = false;
        return false;
    }
    // stream, called on steps with no send running: composes the next part
    // into buffer and gives its length; 0 when none is due yet; negative
    // closes the connection.
    virtual int32_t stream_part(route_connection&, char*, int32_t) { return -1; }
    // stream: parts go out without the per-job log lines (a stream of a
    // part per frame would write dozens a second); failures are logged.
    virtual bool quiet_parts() const { return false; }
    // After "later", and for a stream between parts: when the next step
    // should ask again, se_clock_ms; 0 at once; negative: only when the
    // socket or the server's wait ends anyway.
    virtual int64_t due_ms() const { return -1; }
    // The connection has gone (before the object is deleted).
    virtual void on_disconnected() {}
};

// Microseconds of the steady clock: the time base of turn_started_us.
int64_t route_clock_us();

// A short answer (error_response) of the given status into slot.
route_answer_t route_short_answer(route_slot_t& slot, const char* status, const std::string& extra = {});

// Tells a stream route from another thread that a part is ready: the
// producer keeps a shared_ptr to it (so a connection that has gone meanwhile
// costs nothing), raise() sets the flag and wakes the web server's wait,
// and the route's due_ms() gives 0 while raised() is true and its
// stream_part take()s it.
class route_signal_t {
public:
    void raise();
    bool raised() const { return flag.load(std::memory_order_acquire); }
    // True once per raise (or series of raises before it).
    bool take() { return flag.exchange(false, std::memory_order_acq_rel); }

private:
    std::atomic<bool> flag{false};
};
