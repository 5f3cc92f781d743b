// The node job machine on real loopback sockets: partial transfers, overflow,
// jobs on unconnected nodes, the order of handlers, and peers that go away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

#include "net/se_basic_node.h"
#include "tests/support/loopback.h"

namespace {

// Records every handler call with the node's state at that moment.
class recording_node : public se_basic_node {
public:
    void on_job_finished() override
    {
        events.push_back(std::string("finished ") + result_name(result()) +
                         (is_connected() ? " connected" : " unconnected") +
                         (sock == invalid_socket ? " no_socket" : ""));
        if (restart_job)
            start_job(restart_job, true);
        restart_job = se_no_job;
    }
    void on_connected() override { events.push_back("connected"); }
    void on_disconnected() override { events.push_back("disconnected"); }

    std::vector<std::string> events;
    uint8_t restart_job = se_no_job;  // started from the next job-finished handler
};

// A node attached to the server end of a loopback connection, and its peer.
struct pair_t {
    // With small_buffers, both socket buffers are made small before the
    // connection exists (so the window is agreed small from the start).
    explicit pair_t(int small_buffers = 0)
    {
        if (small_buffers) {
            setsockopt(listener.sock, SOL_SOCKET, SO_SNDBUF, &small_buffers, sizeof(small_buffers));
            peer = socket(AF_INET, SOCK_STREAM, 0);
            setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small_buffers, sizeof(small_buffers));
            sockaddr_in address = loopback::address_of(listener.port);
            connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        } else {
            peer = loopback::connect_to(listener.port);
        }
        sockaddr_in address{};
        int accepted = listener.accept_one(&address);
        set_nonblocking(accepted, true);
        node.attach(accepted, address);
    }
    ~pair_t()
    {
        if (peer >= 0)
            close(peer);
    }
    bool step_until_idle()
    {
        return loopback::step_until([&] { node.step_job(); }, [&] { return !node.is_busy(); });
    }

    loopback::listener_t listener;
    int peer = -1;
    recording_node node;
};

TEST(node, names_of_codes)
{
    const char* jobs[] = {"no_job", "_connect", "_shutdown", "_disconnect", "_recv", "_send"};
    for (uint8_t code = 0; code < 6; ++code)
        EXPECT_STREQ(se_basic_node::job_name(code), jobs[code]);
    EXPECT_STREQ(se_basic_node::job_name(6), "unknown_job");
    EXPECT_STREQ(se_basic_node::job_name(7), "unknown_job");
    EXPECT_STREQ(se_basic_node::job_name(255), "unknown_job");

    const char* results[] = {"no_result", "busy", "already_connected", "socket_failed",
                             "can_not_enable_nonblocking_mode", "select_failed",
                             "connection_attempt_failed", "already_disconnected", "shutdown_failed",
                             "recv_failed", "connection_closed", "send_failed",
                             "aborted_with_timeout", "aborted", "success", "success_with_overflow"};
    for (uint8_t code = 0; code < 16; ++code)
        EXPECT_STREQ(se_basic_node::result_name(code), results[code]);
    EXPECT_STREQ(se_basic_node::result_name(16), "unknown_result");
}

TEST(node, start_job_refuses_while_busy_and_for_unknown_jobs)
{
    recording_node node;
    EXPECT_FALSE(node.start_job(se_no_job, false));
    EXPECT_FALSE(node.start_job(6, false));
    EXPECT_EQ(node.job(), se_no_job);
    EXPECT_EQ(node.result(), se_no_result);

    ASSERT_TRUE(node.start_job(se_job_recv, true));
    EXPECT_TRUE(node.is_busy());
    EXPECT_TRUE(node.is_immediate());
    EXPECT_EQ(node.result(), se_busy);
    EXPECT_FALSE(node.start_job(se_job_send, false));
    EXPECT_EQ(node.job(), se_job_recv);
    EXPECT_TRUE(node.is_immediate());
    node.step_job();
    EXPECT_FALSE(node.is_immediate());
}

TEST(node, jobs_on_an_unconnected_node_end_already_disconnected)
{
    for (uint8_t job : {se_job_shutdown, se_job_disconnect, se_job_recv, se_job_send}) {
        recording_node node;
        char buffer[8];
        node.io_buffer = buffer;
        node.io_buffer_size = node.io_length = sizeof(buffer);
        ASSERT_TRUE(node.start_job(job, false));
        node.step_job();
        EXPECT_FALSE(node.is_busy()) << se_basic_node::job_name(job);
        EXPECT_EQ(node.result(), se_already_disconnected) << se_basic_node::job_name(job);
        EXPECT_EQ(node.events, std::vector<std::string>{"finished already_disconnected unconnected no_socket"});
    }
}

TEST(node, idle_abort_and_close_of_an_unconnected_node_do_nothing)
{
    recording_node node;
    node.abort_job();
    node.close_connection();
    EXPECT_TRUE(node.events.empty());
    EXPECT_EQ(node.result(), se_no_result);
}

TEST(node, connect_on_a_connected_node)
{
    pair_t pair;
    ASSERT_TRUE(pair.node.start_job(se_job_connect, false));
    pair.node.step_job();
    EXPECT_EQ(pair.node.result(), se_already_connected);
    EXPECT_TRUE(pair.node.is_connected());
}

TEST(node, connect_reports_finished_before_connected)
{
    loopback::listener_t listener;
    recording_node node;
    node.peer = loopback::address_of(listener.port);
    ASSERT_TRUE(node.start_job(se_job_connect, false));
    ASSERT_TRUE(loopback::step_until([&] { node.step_job(); }, [&] { return !node.is_busy(); }));
    EXPECT_EQ(node.result(), se_success);
    EXPECT_TRUE(node.is_connected());
    EXPECT_EQ(node.events, (std::vector<std::string>{"finished success unconnected", "connected"}));
    int accepted = listener.accept_one();
    EXPECT_GE(accepted, 0);
    close(accepted);
}

TEST(node, connect_to_a_closed_port_fails_and_frees_the_socket)
{
    uint16_t port;
    {
        loopback::listener_t gone;
        port = gone.port;
    }
    recording_node node;
    node.peer = loopback::address_of(port);
    ASSERT_TRUE(node.start_job(se_job_connect, false));
    ASSERT_TRUE(loopback::step_until([&] { node.step_job(); }, [&] { return !node.is_busy(); }));
    EXPECT_EQ(node.result(), se_connection_attempt_failed);
    EXPECT_EQ(node.sock, invalid_socket);
    EXPECT_FALSE(node.is_connected());
}

TEST(node, recv_in_two_parts_fills_the_buffer)
{
    pair_t pair;
    char buffer[100];
    pair.node.io_buffer = buffer;
    pair.node.io_buffer_size = pair.node.io_length = 100;
    ASSERT_TRUE(pair.node.start_job(se_job_recv, false));
    ASSERT_EQ(send(pair.peer, std::string(60, 'a').data(), 60, 0), 60);
    ASSERT_TRUE(loopback::step_until([&] { pair.node.step_job(); }, [&] { return pair.node.io_done == 60; }));
    EXPECT_TRUE(pair.node.is_busy());
    ASSERT_EQ(send(pair.peer, std::string(40, 'b').data(), 40, 0), 40);
    ASSERT_TRUE(pair.step_until_idle());
    EXPECT_EQ(pair.node.result(), se_success);
    EXPECT_EQ(pair.node.io_done, 100);
    EXPECT_EQ(std::string(buffer, 100), std::string(60, 'a') + std::string(40, 'b'));
}

TEST(node, recv_beyond_the_buffer_discards_the_rest_and_reports_overflow)
{
    pair_t pair;
    std::vector<char> buffer(1000 + 1, '#');  // one guard byte behind the buffer
    pair.node.io_buffer = buffer.data();
    pair.node.io_buffer_size = 1000;
    pair.node.io_length = 3000;
    std::string sent;
    for (int i = 0; i < 3000; ++i)
        sent += static_cast<char>('a' + i % 26);
    ASSERT_EQ(send(pair.peer, sent.data(), sent.size(), 0), 3000);
    ASSERT_TRUE(pair.node.start_job(se_job_recv, false));
    int32_t largest_discard = 0;
    ASSERT_TRUE(loopback::step_until(
        [&] {
            int32_t before = pair.node.io_done;
            pair.node.step_job();
            if (before >= 1000)
                largest_discard = std::max(largest_discard, pair.node.io_last);
        },
        [&] { return !pair.node.is_busy(); }));
    EXPECT_EQ(pair.node.result(), se_success_with_overflow);
    EXPECT_EQ(pair.node.io_done, 3000);
    EXPECT_LE(largest_discard, 2048);
    EXPECT_EQ(std::string(buffer.data(), 1000), sent.substr(0, 1000));
    EXPECT_EQ(buffer[1000], '#');
}

TEST(node, recv_any_ends_after_the_first_receive)
{
    pair_t pair;
    char buffer[100];
    pair.node.io_buffer = buffer;
    pair.node.io_buffer_size = pair.node.io_length = 100;
    pair.node.recv_any = true;
    ASSERT_EQ(send(pair.peer, "abc", 3, 0), 3);
    ASSERT_TRUE(pair.node.start_job(se_job_recv, false));
    ASSERT_TRUE(pair.step_until_idle());
    EXPECT_EQ(pair.node.result(), se_success);
    EXPECT_EQ(pair.node.io_done, 3);
}

TEST(node, peer_close_during_recv_closes_the_node_in_handler_order)
{
    pair_t pair;
    char buffer[16];
    pair.node.io_buffer = buffer;
    pair.node.io_buffer_size = pair.node.io_length = sizeof(buffer);
    ASSERT_TRUE(pair.node.start_job(se_job_recv, false));
    close(pair.peer);
    pair.peer = -1;
    ASSERT_TRUE(pair.step_until_idle());
    EXPECT_EQ(pair.node.result(), se_connection_closed);
    EXPECT_FALSE(pair.node.is_connected());
    // The job's end is reported with the socket gone but still "connected".
    EXPECT_EQ(pair.node.events,
              (std::vector<std::string>{"finished connection_closed connected no_socket", "disconnected"}));
}

TEST(node, send_of_nothing_succeeds_at_once)
{
    pair_t pair;
    char buffer[4];
    pair.node.io_buffer = buffer;
    pair.node.io_buffer_size = sizeof(buffer);
    pair.node.io_length = 0;
    ASSERT_TRUE(pair.node.start_job(se_job_send, false));
    ASSERT_TRUE(pair.step_until_idle());
    EXPECT_EQ(pair.node.result(), se_success);
    EXPECT_EQ(pair.node.io_done, 0);
}

TEST(node, partial_sends_continue_from_io_done)
{
    pair_t pair(4096);
    std::string data(1024 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    pair.node.io_buffer = data.data();
    pair.node.io_buffer_size = pair.node.io_length = static_cast<int32_t>(data.size());
    ASSERT_TRUE(pair.node.start_job(se_job_send, false));
    // With nobody reading, the socket takes only part of the data.
    for (int i = 0; i < 50; ++i)
        pair.node.step_job();
    ASSERT_TRUE(pair.node.is_busy());
    ASSERT_GT(pair.node.io_done, 0);
    ASSERT_LT(pair.node.io_done, pair.node.io_length);

    std::string received;
    std::thread reader([&] { received = loopback::read_exactly(pair.peer, data.size()); });
    bool done = pair.step_until_idle();
    if (!done)
        shutdown(pair.peer, SHUT_RDWR);  // lets the reader end
    reader.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(pair.node.result(), se_success);
    EXPECT_EQ(pair.node.io_done, pair.node.io_length);
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes, not the same";
}

// A client that stops reading loses its connection once its socket has
// taken nothing for the stall limit; one that reads slowly keeps it, since
// every byte it takes restarts the limit.
TEST(node, a_send_that_makes_no_progress_ends_after_the_stall_limit)
{
    for (bool reading : {false, true}) {
        // The reader takes a few kilobytes a step, far more slowly than the
        // socket could go, with pauses shorter than the limit.
        std::string data(reading ? 64 * 1024 : 1024 * 1024, 'x');
        pair_t pair(4096);
        pair.node.send_stall_ms = 400;
        pair.node.io_buffer = data.data();
        pair.node.io_buffer_size = pair.node.io_length = static_cast<int32_t>(data.size());
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(pair.node.start_job(se_job_send, false));
        std::atomic<bool> stop{false};
        size_t received = 0;
        std::thread reader([&] {
            char chunk[64 * 1024];
            while (reading && !stop && received < data.size()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                const ssize_t n = recv(pair.peer, chunk, sizeof chunk, 0);
                if (n <= 0)
                    break;
                received += size_t(n);
            }
        });
        // step_until_idle gives up after 10 s: far past the limit.
        const bool ended = pair.step_until_idle();
        const auto took = std::chrono::steady_clock::now() - start;
        stop = true;
        shutdown(pair.peer, SHUT_RDWR);
        reader.join();
        ASSERT_TRUE(ended) << (reading ? "reading" : "not reading");
        if (reading) {
            EXPECT_EQ(pair.node.result(), se_success);
        } else {
            EXPECT_EQ(pair.node.result(), se_aborted_with_timeout);
            EXPECT_GE(took, std::chrono::milliseconds(400));
            EXPECT_GT(pair.node.io_done, 0);
        }
    }
}

TEST(node, send_beyond_the_buffer_sends_the_buffer_and_reports_overflow)
{
    pair_t pair;
    char buffer[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    pair.node.io_buffer = buffer;
    pair.node.io_buffer_size = 10;
    pair.node.io_length = 25;
    ASSERT_TRUE(pair.node.start_job(se_job_send, false));
    ASSERT_TRUE(pair.step_until_idle());
    EXPECT_EQ(pair.node.result(), se_success_with_overflow);
    EXPECT_EQ(pair.node.io_done, 10);
    EXPECT_EQ(loopback::read_exactly(pair.peer, 10), "0123456789");
}

TEST(node, send_to_a_reset_peer_fails_without_killing_the_process)
{
    // The default action of SIGPIPE ends the process; the send must not raise it.
    auto previous = std::signal(SIGPIPE, SIG_DFL);
    pair_t pair;
    loopback::close_with_reset(pair.peer);
    pair.peer = -1;
    std::string data(64 * 1024, 'x');
    pair.node.io_buffer = data.data();
    pair.node.io_buffer_size = pair.node.io_length = static_cast<int32_t>(data.size());
    // The first send reports the reset; the ones after it meet a broken pipe.
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(pair.node.start_job(se_job_send, false));
        ASSERT_TRUE(pair.step_until_idle());
        EXPECT_EQ(pair.node.result(), se_send_failed) << round;
    }
    std::signal(SIGPIPE, previous);
    EXPECT_TRUE(pair.node.is_connected());  // closing is the owner's decision
}

TEST(node, shutdown_keeps_the_node_connected)
{
    pair_t pair;
    ASSERT_TRUE(pair.node.start_job(se_job_shutdown, false));
    pair.node.step_job();
    EXPECT_EQ(pair.node.result(), se_success);
    EXPECT_TRUE(pair.node.is_connected());
    EXPECT_NE(pair.node.sock, invalid_socket);
    EXPECT_EQ(loopback::read_exactly(pair.peer, 1), "");  // the peer sees the end
}

TEST(node, disconnect_reports_finished_then_disconnected)
{
    pair_t pair;
    ASSERT_TRUE(pair.node.start_job(se_job_disconnect, false));
    pair.node.step_job();
    EXPECT_EQ(pair.node.result(), se_success);
    EXPECT_FALSE(pair.node.is_connected());
    EXPECT_EQ(pair.node.events,
              (std::vector<std::string>{"finished success connected no_socket", "disconnected"}));
}

TEST(node, close_of_a_busy_connected_node_reports_aborted_then_disconnected)
{
    pair_t pair;
    char buffer[16];
    pair.node.io_buffer = buffer;
    pair.node.io_buffer_size = pair.node.io_length = sizeof(buffer);
    ASSERT_TRUE(pair.node.start_job(se_job_recv, false));
    pair.node.step_job();
    pair.node.close_connection();
    EXPECT_EQ(pair.node.result(), se_aborted);
    EXPECT_FALSE(pair.node.is_connected());
    EXPECT_EQ(pair.node.sock, invalid_socket);
    EXPECT_EQ(pair.node.events,
              (std::vector<std::string>{"finished aborted connected", "disconnected"}));
    EXPECT_EQ(loopback::read_exactly(pair.peer, 1), "");
}

TEST(node, a_job_started_by_a_handler_is_marked_immediate)
{
    pair_t pair;
    char buffer[16];
    pair.node.io_buffer = buffer;
    pair.node.io_buffer_size = sizeof(buffer);
    pair.node.io_length = 0;
    pair.node.restart_job = se_job_recv;
    ASSERT_TRUE(pair.node.start_job(se_job_send, false));
    ASSERT_TRUE(loopback::step_until([&] { pair.node.step_job(); }, [&] { return pair.node.job() == se_job_recv; }));
    EXPECT_TRUE(pair.node.is_immediate());
    EXPECT_TRUE(pair.node.is_busy());
}

TEST(node, timeout_ends_the_job_and_keeps_the_socket)
{
    pair_t pair;
    char buffer[16];
    pair.node.io_buffer = buffer;
    pair.node.io_buffer_size = pair.node.io_length = sizeof(buffer);
    pair.node.job_timeout_ms = 0;
    ASSERT_TRUE(pair.node.start_job(se_job_recv, false));
    pair.node.step_job();
    EXPECT_EQ(pair.node.result(), se_aborted_with_timeout);
    EXPECT_TRUE(pair.node.is_connected());
    EXPECT_NE(pair.node.sock, invalid_socket);
}

TEST(node, destruction_closes_the_socket_silently)
{
    loopback::listener_t listener;
    int peer = loopback::connect_to(listener.port);
    {
        se_basic_node node;
        sockaddr_in address{};
        int accepted = listener.accept_one(&address);
        set_nonblocking(accepted, true);
        ASSERT_TRUE(node.attach(accepted, address));
        EXPECT_FALSE(node.attach(accepted, address));
        EXPECT_EQ(node.peer_address_text(), "127.0.0.1");
        EXPECT_EQ(node.peer_port(), ntohs(address.sin_port));
    }
    EXPECT_EQ(loopback::read_exactly(peer, 1), "");
    close(peer);
}

}  // namespace
