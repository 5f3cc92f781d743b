// POSIX sockets for the engine: the only place that calls poll.
#include "net/se_socket.h"

#include <arpa/inet.h>
#include <cerrno>
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
