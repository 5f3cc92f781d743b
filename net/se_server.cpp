// se_server: activation, the server step and deactivation.
#include "net/se_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <unistd.h>

se_server::se_server() = default;

se_server::~se_server() { deactivate(); }

void se_server::on_error(int32_t) {}

se_server_node* se_server::create_node() { return new se_server_node(); }

const char* se_server::error_name(int32_t error) { return ::error_name(error); }

bool se_server::initialize(int32_t new_family, int32_t new_type, int32_t new_protocol,
                           const char* address, uint16_t port)
{
    if (active)
        return false;
    family = new_family;
    type = new_type;
    protocol = new_protocol;
    local = sockaddr_in{};
    local.sin_family = static_cast<sa_family_t>(family);
    local.sin_port = htons(port);
    // Not otherwise checked: a text that is no address gives INADDR_NONE,
    // which activate refuses.
    local.sin_addr.s_addr = inet_addr(address ? address : "");
    return true;
}

bool se_server::fail_activation(int32_t error)
{
    last_activation_error = errno != 0 ? errno : EINVAL;
    close(sock);
    sock = invalid_socket;
    on_error(error);
    return false;
}

bool se_server::activate(bool listen_too)
{
    if (active) {
        last_activation_error = EISCONN;
        return false;
    }
    last_activation_error = 0;
    sock = socket(family, type | SOCK_CLOEXEC, protocol);
    if (sock == invalid_socket) {
        last_activation_error = errno;
        on_error(se_error_socket_failed);
        return false;
    }
    if (!set_nonblocking(sock, true))
        return fail_activation(se_error_can_not_enable_nonblocking_mode);
    // Lets a restarted server bind its port while connections it closed
    // wait out TIME_WAIT; a port another socket listens on still fails.
    int reuse = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    // A text that is no address must not end up listening on the
    // broadcast address, which accepts nothing: it fails as its bind would.
    if (local.sin_addr.s_addr == INADDR_NONE) {
        errno = EADDRNOTAVAIL;
        return fail_activation(se_error_bind_failed);
    }
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
        return fail_activation(se_error_bind_failed);
    if (listen_too && listen(sock, 0x7FFFFFFF) != 0)
        return fail_activation(se_error_listen_failed);
    active = true;
    return true;
}

void se_server::deactivate()
{
    if (!active)
        return;
    for (se_server_node* node : nodes) {
        node->close_connection();
        delete node;
    }
    nodes.clear();
    wait_set.clear();
    next_due_ms = -1;
    drop_socket(sock, false);
    sock = invalid_socket;
    active = false;
}

void se_server::step()
{
    ++steps;
    wait_set.clear();
    next_due_ms = -1;
    if (!active)
        return;
    bool listening_ok = accept_one();
    give_turns();
    prepare_wait(listening_ok);
}

bool se_server::accept_one()
{
    se_readiness_t ready;
    if (!poll_socket(sock, true, false, ready)) {
        on_error(se_error_select_failed);
        return false;
    }
    if (!ready.readable)
        return true;
    sockaddr_in peer{};
    socklen_t peer_length = sizeof(peer);
    se_socket_t accepted =
        accept4(sock, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
    if (accepted == invalid_socket) {
        on_error(se_error_accept_failed);
        return false;
    }
    if (!set_nonblocking(accepted, true)) {
        close(accepted);
        on_error(se_error_can_not_enable_nonblocking_mode_on_accepted_socket);
        return false;
    }
    se_server_node* node = create_node();
    node->attach(accepted, peer);
    nodes.push_back(node);
    node->on_connected();
    return true;
}

void se_server::give_turns()
{
    // A node appended by accept_one is reached in this same pass.
    for (auto it = nodes.begin(); it != nodes.end();) {
        se_server_node* node = *it;
        do {
            node->on_step();
            node->step_job();
        } while (node->is_immediate());
        if (node->is_connected()) {
            ++it;
        } else {
            it = nodes.erase(it);
            delete node;
        }
    }
}

void se_server::prepare_wait(bool listening_ok)
{
    // A connection still pending makes the next step come at once. After a
    // failed accept (no descriptors left, say) the socket stays readable:
    // the retry then waits for main_interval, or each step would repeat the
    // failure and its log line without a pause.
    wait_set.add(sock, listening_ok, false);
    for (se_server_node* node : nodes) {
        se_interest_t interest = node->wait_interest();
        wait_set.add(node->sock, interest.read, interest.write);
        if (interest.due_ms >= 0 && (next_due_ms < 0 || interest.due_ms < next_due_ms))
            next_due_ms = interest.due_ms;
    }
}

void se_server::wait(int32_t max_ms)
{
    int64_t timeout_ms = std::max<int32_t>(max_ms, 0);
    if (next_due_ms >= 0)
        timeout_ms = std::clamp<int64_t>(next_due_ms - se_clock_ms(), 0, timeout_ms);
    // Should the poll itself fail, the pause keeps the loop from spinning.
    if (!wait_set.wait(wakeup, static_cast<int32_t>(timeout_ms)))
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
}

void se_server::wake() { wakeup.signal(); }

std::string se_server::local_address_text() const { return ipv4_text(local); }

uint16_t se_server::local_port() const { return ntohs(local.sin_port); }
