// se_basic_node: one TCP connection of the socket engine with its job
// machine. The owner fills in a buffer description and starts a job; the
// server loop advances it one non-blocking step per server step and the node
// reports through its virtual handlers. Used only on the web server thread
// under server_lock; the node owns its socket, never the job's buffer.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

#include "net/se_job.h"
#include "net/se_result.h"
#include "net/se_socket.h"

// What a node waits for between two server steps: its next step is due
// when its socket becomes ready as asked, or at the due time, whichever
// comes first.
struct se_interest_t {
    bool read = false;    // the socket becoming readable
    bool write = false;   // the socket becoming writable
    int64_t due_ms = -1;  // se_clock_ms when a step is due anyway; 0: at once; negative: never
};

class se_basic_node {
public:
    se_basic_node();
    // Closes the connection as close_connection does; only the empty
    // handlers of this class are in effect by then, so nothing is reported.
    virtual ~se_basic_node();
    se_basic_node(const se_basic_node&) = delete;
    se_basic_node& operator=(const se_basic_node&) = delete;

    // Called by the server loop once per server step, before step_job.
    virtual void on_step() {}
    // Asked after every server step, under the same lock: what the running
    // job waits for. A derived node adds what its on_step waits for, so that
    // only a step with something to do ends the wait early.
    virtual se_interest_t wait_interest() const;
    // A job has ended; result tells how.
    virtual void on_job_finished() {}
    // The node has become connected (accepted, or _connect succeeded).
    virtual void on_connected() {}
    // The node has lost its connection.
    virtual void on_disconnected() {}

    // False, changing nothing, when busy or job is not 1..5. The owner sets
    // io_buffer, io_buffer_size and io_length before _recv or _send.
    bool start_job(uint8_t job, bool immediate);
    // Ends a running job with "aborted"; nothing on an idle node.
    void abort_job();
    // One non-blocking step of the running job.
    void step_job();
    // abort_job, then shutdown and close of a connected socket.
    void close_connection();
    // Takes over an accepted socket; false when already connected.
    bool attach(se_socket_t socket, const sockaddr_in& peer_address);

    bool is_busy() const { return busy; }
    uint8_t job() const { return job_code; }
    uint8_t result() const { return result_code; }
    bool is_immediate() const { return immediate; }
    bool is_connected() const { return connected; }

    static const char* job_name(uint8_t job);
    static const char* result_name(uint8_t result);

    std::string peer_address_text() const;
    uint16_t peer_port() const;

    uint32_t job_timeout_ms = 0xFFFFFFFF;  // time-out of any job; 0xFFFFFFFF: none
    // A _send whose socket takes no byte for this long ends with
    // "aborted_with_timeout": a client that stops reading must not hold
    // its connection (and whatever waits to be sent to it) for ever.
    uint32_t send_stall_ms = 10000;
    bool recv_any = false;       // a _recv ends after its first successful receive
    int32_t io_last = 0;         // return value of the last recv or send call
    int32_t io_done = 0;         // bytes moved by the current job, discarded ones included
    int32_t io_length = 0;       // bytes the current _recv or _send is to move
    int32_t io_buffer_size = 0;  // capacity of io_buffer
    char* io_buffer = nullptr;   // data area of the current job, owned by the node's owner
    int32_t family = AF_INET;        // socket family for _connect
    int32_t type = SOCK_STREAM;      // socket type for _connect
    int32_t protocol = IPPROTO_TCP;  // protocol for _connect
    se_socket_t sock = invalid_socket;  // the connection's socket
    sockaddr_in peer{};  // the remote end (filled by attach, or by the owner for _connect)

private:
    void finish(uint8_t result);
    void step_connect();
    void step_shutdown();
    void step_disconnect();
    void step_recv();
    void step_send();
    void check_timeout();
    void check_send_stall();
    // Closes sock without the node's state; see drop_socket.
    void drop(bool shut_down_first);

    bool busy = false;          // a job is running
    std::time_t job_started = 0;  // calendar time the current job started
    int64_t send_progress_ms = 0; // se_clock_ms when the current _send started or last moved bytes
    uint8_t job_code = se_no_job;       // the current or last job
    uint8_t result_code = se_no_result; // outcome of the current or last job
    bool immediate = false;     // the server loop steps this node again in the same server step
    bool connected = false;     // the node owns a connected socket
};
