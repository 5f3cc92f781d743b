// se_server: a listening TCP socket and the list of its connection nodes.
// One step accepts at most one connection and gives every node one turn.
// step runs on the web server thread inside the object's own lock
// (server_lock); initialize, activate and deactivate run on the GUI thread
// while that thread is stopped. The server owns and deletes its nodes.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

#include "net/se_error.h"
#include "net/se_server_node.h"
#include "net/se_socket.h"
#include "settings/mt_obj.h"

class se_server : public mt_obj {
public:
    se_server();
    // deactivate, then the node list and the lock go.
    ~se_server() override;

    // A server-level call failed; nothing here, the web server logs it.
    virtual void on_error(int32_t error);
    // The factory for accepted connections.
    virtual se_server_node* create_node();

    // Stores the address to bind; false, changing nothing, while active.
    bool initialize(int32_t family, int32_t type, int32_t protocol, const char* address,
                    uint16_t port);
    // Sets up the listening socket; false when active already or on failure.
    bool activate(bool listen);
    // Closes and deletes every node and the listening socket.
    void deactivate();
    // One server step; nothing while inactive.
    void step();
    bool is_active() const { return active; }
    std::string local_address_text() const;
    uint16_t local_port() const;

    static const char* error_name(int32_t error);

    // The connections in the order they were accepted (for tests and the
    // web layer; only touched under the lock).
    const std::list<se_server_node*>& node_list() const { return nodes; }

private:
    void accept_one();
    void give_turns();
    // Closes the listening socket after a failed set-up step and reports.
    bool fail_activation(int32_t error);

    std::list<se_server_node*> nodes;  // the connections, oldest first; owned
    int32_t family = AF_INET;          // family of the listening socket and of local
    int32_t type = SOCK_STREAM;        // socket type
    int32_t protocol = IPPROTO_TCP;    // protocol
    se_socket_t sock = invalid_socket; // the listening socket
    sockaddr_in local{};               // the address to bind
    bool active = false;               // the listening socket is set up
};
