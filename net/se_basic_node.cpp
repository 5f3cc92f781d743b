// se_basic_node: the job machine. Every step makes at most one poll and one
// recv or send call, so a server step never blocks.
#include "net/se_basic_node.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Where a _recv puts the bytes beyond io_buffer_size. Shared by every node:
// all nodes run on the web server thread, and the content is never read.
char discard_buffer[2048];

// An error that only says "not now": the job stays busy and tries again.
bool is_transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }
}  // namespace

se_basic_node::se_basic_node() = default;

se_basic_node::~se_basic_node() { close_connection(); }

const char* se_basic_node::job_name(uint8_t job) { return ::job_name(job); }

const char* se_basic_node::result_name(uint8_t result) { return ::result_name(result); }

std::string se_basic_node::peer_address_text() const { return ipv4_text(peer); }

uint16_t se_basic_node::peer_port() const { return ntohs(peer.sin_port); }

bool se_basic_node::start_job(uint8_t job, bool immediate_step)
{
    if (busy || !is_runnable_job(job))
        return false;
    io_last = 0;
    io_done = 0;
    busy = true;
    job_started = std::time(nullptr);
    send_progress_ms = se_clock_ms();
    job_code = job;
    result_code = se_busy;
    immediate = immediate_step;
    return true;
}

void se_basic_node::finish(uint8_t result)
{
    busy = false;
    result_code = result;
    on_job_finished();
}

void se_basic_node::abort_job()
{
    if (busy)
        finish(se_aborted);
}

void se_basic_node::drop(bool shut_down_first)
{
    drop_socket(sock, shut_down_first);
    sock = invalid_socket;
}

void se_basic_node::close_connection()
{
    abort_job();
    if (connected) {
        drop(true);
        connected = false;
        on_disconnected();
    } else if (sock != invalid_socket) {
        // A _connect still under way holds a socket that never connected:
        // it is released too, silently, as it never reported a connection.
        drop(false);
    }
}

bool se_basic_node::attach(se_socket_t socket, const sockaddr_in& peer_address)
{
    if (connected)
        return false;
    sock = socket;
    peer = peer_address;
    connected = true;
    return true;
}

void se_basic_node::step_job()
{
    immediate = false;
    if (!busy || !is_runnable_job(job_code))
        return;
    switch (job_code) {
    case se_job_connect: step_connect(); break;
    case se_job_shutdown: step_shutdown(); break;
    case se_job_disconnect: step_disconnect(); break;
    case se_job_recv: step_recv(); break;
    case se_job_send: step_send(); break;
    }
    check_timeout();
}

se_interest_t se_basic_node::wait_interest() const
{
    // A job time-out is not a due time: it is checked in the steps that come
    // anyway, at the latest one main_interval apart (it has whole seconds).
    se_interest_t interest;
    if (!busy)
        return interest;
    if (job_code == se_job_recv && connected)
        interest.read = true;
    else if (job_code == se_job_send && connected) {
        interest.write = true;
        interest.due_ms = send_progress_ms + send_stall_ms;  // the stall limit, if nothing is taken
    }
    else if (job_code == se_job_connect && !connected && sock != invalid_socket)
        interest.write = true;  // a connect under way ends writable, or with an error
    else
        interest.due_ms = 0;  // the job ends in its next step without waiting for the socket
    return interest;
}

void se_basic_node::check_send_stall()
{
    if (busy && job_code == se_job_send && se_clock_ms() - send_progress_ms >= send_stall_ms)
        finish(se_aborted_with_timeout);
}

void se_basic_node::check_timeout()
{
    if (!busy || job_timeout_ms == 0xFFFFFFFF)
        return;
    int64_t elapsed_ms = static_cast<int64_t>(std::time(nullptr) - job_started) * 1000;
    if (static_cast<int64_t>(job_timeout_ms) <= elapsed_ms)
        finish(se_aborted_with_timeout);
}

void se_basic_node::step_connect()
{
    if (connected) {
        finish(se_already_connected);
        return;
    }
    if (sock == invalid_socket) {
        sock = socket(family, type | SOCK_CLOEXEC, protocol);
        if (sock == invalid_socket) {
            finish(se_socket_failed);
            return;
        }
        if (!set_nonblocking(sock, true)) {
            close(sock);
            sock = invalid_socket;
            finish(se_can_not_enable_nonblocking_mode);
            return;
        }
        // A non-blocking connect is normally still in progress here; its
        // outcome shows in the polls of the following steps.
        (void)connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer));
        return;
    }
    se_readiness_t ready;
    if (!poll_socket(sock, false, true, ready)) {
        drop(true);
        finish(se_select_failed);
    } else if (ready.exception) {
        drop(true);
        finish(se_connection_attempt_failed);
    } else if (ready.writable) {
        // The handler sees the job's end while connected is still false.
        finish(se_success);
        connected = true;
        on_connected();
    }
}

void se_basic_node::step_shutdown()
{
    if (!connected) {
        finish(se_already_disconnected);
        return;
    }
    finish(shutdown(sock, SHUT_RDWR) == 0 ? se_success : se_shutdown_failed);
}

void se_basic_node::step_disconnect()
{
    if (!connected) {
        finish(se_already_disconnected);
        return;
    }
    drop(false);
    finish(se_success);
    connected = false;
    on_disconnected();
}

void se_basic_node::step_recv()
{
    if (!connected) {
        finish(se_already_disconnected);
        return;
    }
    se_readiness_t ready;
    if (!poll_socket(sock, true, false, ready)) {
        finish(se_select_failed);
        return;
    }
    if (!ready.readable)
        return;

    int32_t room = io_buffer ? std::max(io_buffer_size, 0) : 0;
    char* into;
    int32_t want;
    if (io_done < room) {
        into = io_buffer + io_done;
        want = std::min(io_length, room) - io_done;
    } else {
        into = discard_buffer;
        want = std::min<int32_t>(sizeof(discard_buffer), io_length - io_done);
    }
    if (want <= 0) {
        // Nothing is left to receive; a recv for 0 bytes would return 0 and
        // read as the peer closing a connection that is alive.
        finish(io_length > room ? se_success_with_overflow : se_success);
        return;
    }

    ssize_t n = recv(sock, into, static_cast<size_t>(want), 0);
    io_last = static_cast<int32_t>(n);
    if (n < 0) {
        if (!is_transient(errno))
            finish(se_recv_failed);
        return;
    }
    if (n == 0) {
        // The handler sees the job's end with the socket gone but connected
        // still true; it must not close the node itself.
        drop(false);
        finish(se_connection_closed);
        connected = false;
        on_disconnected();
        return;
    }
    io_done += static_cast<int32_t>(n);
    if (io_done == io_length || recv_any)
        finish(io_length > room ? se_success_with_overflow : se_success);
}

void se_basic_node::step_send()
{
    if (!connected) {
        finish(se_already_disconnected);
        return;
    }
    se_readiness_t ready;
    if (!poll_socket(sock, false, true, ready)) {
        finish(se_select_failed);
        return;
    }
    if (!ready.writable) {
        check_send_stall();
        return;
    }

    int32_t room = io_buffer ? std::max(io_buffer_size, 0) : 0;
    int32_t limit = std::min(io_length, room);
    int32_t count = limit - io_done;
    if (count > 0) {
        // MSG_NOSIGNAL: a peer that went away makes the send fail, it must
        // not raise SIGPIPE and end the process.
        ssize_t n = send(sock, io_buffer + io_done, static_cast<size_t>(count), MSG_NOSIGNAL);
        io_last = static_cast<int32_t>(n);
        if (n < 0) {
            if (!is_transient(errno))
                finish(se_send_failed);
            else
                check_send_stall();
            return;
        }
        io_done += static_cast<int32_t>(n);
        if (n > 0)
            send_progress_ms = se_clock_ms();
    }
    if (io_done >= limit)
        finish(io_length > room ? se_success_with_overflow : se_success);
}
