// se_server: a listening TCP socket and the list of its connection nodes.
// One step accepts at most one connection and gives every node one turn;
// between steps the thread waits until the next step has something to do.
// step runs on the web server thread inside the object's own lock
// (server_lock), wait on the same thread outside it; wake may come from any
// thread; initialize, activate and deactivate run on the GUI thread while
// the web server thread is stopped. The server owns and deletes its nodes.
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
    // Why the last activation failed: an errno value, 0 after a success.
    int activation_error() const { return last_activation_error; }
    // Closes and deletes every node and the listening socket.
    void deactivate();
    // One server step; nothing while inactive. Ends by noting what the wait
    // after it looks at.
    void step();
    // Called after step on the same thread, without the lock: returns when
    // the listening socket or a node's socket is ready as that node asked,
    // a node's due time has come, wake was called, or max_ms passed.
    void wait(int32_t max_ms);
    // Ends the running wait, or the next one, at once: for changes of the
    // settings and the server's state, and for stopping the thread.
    void wake();
    // Steps made so far, inactive ones included (for tests: how often the
    // thread woke).
    uint64_t step_count() const { return steps; }
    bool is_active() const { return active; }
    std::string local_address_text() const;
    uint16_t local_port() const;

    static const char* error_name(int32_t error);

    // The connections in the order they were accepted (for tests and the
    // web layer; only touched under the lock).
    const std::list<se_server_node*>& node_list() const { return nodes; }

private:
    // False when the poll or the accept failed.
    bool accept_one();
    void give_turns();
    void prepare_wait(bool listening_ok);
    // Closes the listening socket after a failed set-up step and reports.
    bool fail_activation(int32_t error);

    std::list<se_server_node*> nodes;  // the connections, oldest first; owned
    int32_t family = AF_INET;          // family of the listening socket and of local
    int32_t type = SOCK_STREAM;        // socket type
    int32_t protocol = IPPROTO_TCP;    // protocol
    se_socket_t sock = invalid_socket; // the listening socket
    sockaddr_in local{};               // the address to bind
    bool active = false;               // the listening socket is set up
    se_wakeup_t wakeup;                // ends a wait from another thread
    se_wait_set_t wait_set;            // what the wait after the last step looks at
    int64_t next_due_ms = -1;          // the earliest due time of a node then; negative: none
    uint64_t steps = 0;                // steps made since construction
    int last_activation_error = 0;     // errno of the last failed activation, 0 = none
};
