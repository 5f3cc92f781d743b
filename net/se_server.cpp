// se_server: activation, the server step and deactivation.
#include "net/se_server.h"

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
    close(sock);
    sock = invalid_socket;
    on_error(error);
    return false;
}

bool se_server::activate(bool listen_too)
{
    if (active)
        return false;
    sock = socket(family, type | SOCK_CLOEXEC, protocol);
    if (sock == invalid_socket) {
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
    if (local.sin_addr.s_addr == INADDR_NONE)
        return fail_activation(se_error_bind_failed);
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
    drop_socket(sock, false);
    sock = invalid_socket;
    active = false;
}

void se_server::step()
{
    if (!active)
        return;
    accept_one();
    give_turns();
}

void se_server::accept_one()
{
    se_readiness_t ready;
    if (!poll_socket(sock, true, false, ready)) {
        on_error(se_error_select_failed);
        return;
    }
    if (!ready.readable)
        return;
    sockaddr_in peer{};
    socklen_t peer_length = sizeof(peer);
    se_socket_t accepted =
        accept4(sock, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
    if (accepted == invalid_socket) {
        on_error(se_error_accept_failed);
        return;
    }
    if (!set_nonblocking(accepted, true)) {
        close(accepted);
        on_error(se_error_can_not_enable_nonblocking_mode_on_accepted_socket);
        return;
    }
    se_server_node* node = create_node();
    node->attach(accepted, peer);
    nodes.push_back(node);
    node->on_connected();
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

std::string se_server::local_address_text() const { return ipv4_text(local); }

uint16_t se_server::local_port() const { return ntohs(local.sin_port); }
