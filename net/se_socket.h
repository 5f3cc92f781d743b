// The thin POSIX layer under the socket engine: process-wide start-up and
// clean-up, non-blocking mode, the one zero-time-out readiness poll, and
// closing a socket. Called on the web server thread (polls, sends) and on the
// GUI thread (start-up, clean-up, activation); no state of its own.
#pragma once

#include <cstdint>
#include <string>

#include <netinet/in.h>

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

// shutdown(both) when asked, then blocking mode back on and close.
void drop_socket(se_socket_t sock, bool shut_down_first);

// Dotted IPv4 form of an address ("0.0.0.0"); thread-safe, unlike inet_ntoa.
std::string ipv4_text(const sockaddr_in& address);
