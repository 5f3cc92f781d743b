// POSIX sockets for the engine: the only place that calls poll.
#include "net/se_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool sockets_startup()
{
    // MSG_NOSIGNAL covers the engine's own sends; ignoring the signal also
    // covers any other write to a socket the process might make.
    return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

void sockets_cleanup() {}

bool set_nonblocking(se_socket_t sock, bool on)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(sock, F_SETFL, flags) == 0;
}

bool poll_socket(se_socket_t sock, bool want_read, bool want_write, se_readiness_t& ready)
{
    ready = se_readiness_t{};
    // poll instead of select: a select set cannot hold a descriptor at or
    // above FD_SETSIZE, and a busy process gets there.
    pollfd entry{};
    entry.fd = sock;
    entry.events = static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0));
    int count = poll(&entry, 1, 0);
    if (count < 0)
        return errno == EINTR;  // interrupted before looking: nothing ready yet
    if (count == 0)
        return true;
    if (entry.revents & POLLNVAL)
        return false;
    bool trouble = (entry.revents & (POLLERR | POLLHUP)) != 0;
    ready.readable = want_read && (trouble || (entry.revents & POLLIN));
    ready.writable = want_write && (trouble || (entry.revents & POLLOUT));
    ready.exception = trouble;
    return true;
}

int64_t se_clock_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

se_wakeup_t::se_wakeup_t()
{
    if (pipe(ends) != 0) {
        ends[0] = ends[1] = invalid_socket;
        return;
    }
    // Non-blocking both ways: a signal on a full pipe is already pending,
    // and clearing must stop when the pipe is empty.
    for (se_socket_t end : ends) {
        set_nonblocking(end, true);
        fcntl(end, F_SETFD, FD_CLOEXEC);
    }
}

se_wakeup_t::~se_wakeup_t()
{
    for (se_socket_t end : ends)
        if (end != invalid_socket)
            close(end);
}

void se_wakeup_t::signal()
{
    if (ends[1] == invalid_socket)
        return;
    const char byte = 1;
    // A full pipe fails with EAGAIN: a wake-up is pending then anyway.
    (void)!write(ends[1], &byte, 1);
}

void se_wakeup_t::clear()
{
    if (ends[0] == invalid_socket)
        return;
    char bytes[64];
    while (read(ends[0], bytes, sizeof(bytes)) > 0) {
    }
}

void se_wait_set_t::add(se_socket_t sock, bool want_read, bool want_write)
{
    // A socket asked for nothing stays out: poll would still report its
    // errors and hang-ups, and a reset connection that waits for its next
    // due time would end every wait at once.
    if (sock == invalid_socket || !(want_read || want_write))
        return;
    pollfd entry{};
    entry.fd = sock;
    entry.events = static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0));
    entries.push_back(entry);
}

bool se_wait_set_t::wait(se_wakeup_t& wakeup, int32_t timeout_ms)
{
    pollfd wake{};
    wake.fd = wakeup.read_end();  // poll skips a negative descriptor
    wake.events = POLLIN;
    entries.push_back(wake);
    int count = poll(entries.data(), entries.size(), timeout_ms < 0 ? 0 : timeout_ms);
    bool woken = entries.back().revents != 0;
    entries.pop_back();
    if (woken)
        wakeup.clear();
    // Interrupted: the caller's next step comes a little early, no harm.
    return count >= 0 || errno == EINTR;
}

void drop_socket(se_socket_t sock, bool shut_down_first)
{
    if (sock == invalid_socket)
        return;
    if (shut_down_first)
        shutdown(sock, SHUT_RDWR);
    set_nonblocking(sock, false);
    close(sock);
}

std::string ipv4_text(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text)))
        return std::string();
    return text;
}
