// The thin POSIX layer under the socket engine: process-wide start-up and
// clean-up, non-blocking mode, the zero-time-out readiness poll of one
// socket, the wait over many between server steps with its wake-up, the
// engine's clock, and closing a socket. Called on the web server thread
// (polls, sends, the wait) and on the GUI thread (start-up, clean-up,
// activation, wake-ups); no state beyond the objects below.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <poll.h>

using se_socket_t = int;
constexpr se_socket_t invalid_socket = -1;

// POSIX needs no start-up; this one only makes a peer that goes away while
// we send fail the send (EPIPE) instead of killing the process (SIGPIPE).
bool sockets_startup();
void sockets_cleanup();

// Switches O_NONBLOCK on or off; false when fcntl fails.
bool set_nonblocking(se_socket_t sock, bool on);

// What one poll found, in the terms of a select on one socket: a socket with
// an error or a hang-up counts as readable and writable (the next call on it
// returns at once, with the error), and also shows in the exception set.
struct se_readiness_t {
    bool readable = false;   // a recv or accept would not block
    bool writable = false;   // a send would not block, or a connect ended
    bool exception = false;  // an error or a hang-up is pending
};

// Polls one socket with a zero time-out for the sets asked for; false on a
// poll failure (an invalid socket included). Never waits.
bool poll_socket(se_socket_t sock, bool want_read, bool want_write, se_readiness_t& ready);

// Milliseconds of a monotonic clock: the time base of every due time the
// engine and its nodes keep.
int64_t se_clock_ms();

// Lets another thread end a se_wait_set_t wait at once. signal may be called
// from any thread at any time; a signal given while no wait runs ends the
// next wait instead, so none is lost.
class se_wakeup_t {
public:
    // A non-blocking pipe; without one (no descriptors left) waits simply
    // run to their time-out.
    se_wakeup_t();
    ~se_wakeup_t();
    se_wakeup_t(const se_wakeup_t&) = delete;
    se_wakeup_t& operator=(const se_wakeup_t&) = delete;

    void signal();
    // Empties the pipe; done by the waiting thread when its wait ended.
    void clear();
    se_socket_t read_end() const { return ends[0]; }

private:
    se_socket_t ends[2] = {invalid_socket, invalid_socket};  // read end, write end
};

// The sockets a wait looks at, each with the readiness asked for.
class se_wait_set_t {
public:
    void clear() { entries.clear(); }
    void add(se_socket_t sock, bool want_read, bool want_write);
    // Returns when a socket of the set is ready as asked (an error or a
    // hang-up counts), wakeup was signalled, or timeout_ms passed (0: look
    // once; negative counts as 0). False on a poll failure.
    bool wait(se_wakeup_t& wakeup, int32_t timeout_ms);

private:
    std::vector<pollfd> entries;  // the set's sockets; the wake-up is added during a wait
};

// shutdown(both) when asked, then blocking mode back on and close.
void drop_socket(se_socket_t sock, bool shut_down_first);

// Dotted IPv4 form of an address ("0.0.0.0"); thread-safe, unlike inet_ntoa.
std::string ipv4_text(const sockaddr_in& address);
