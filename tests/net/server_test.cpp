// The server step on loopback: one accept per step, the node pass and its
// deletions, deactivation with busy nodes, activation failures, sockets
// whose descriptors lie beyond the reach of select, and the wait between
// steps: what ends it early, and what must not.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/se_server.h"
#include "tests/support/loopback.h"

namespace {

std::vector<std::string> events;  // every handler call of the nodes and servers below

// Receives into a small buffer and records its handler calls by number.
class numbered_node : public se_server_node {
public:
    explicit numbered_node(int number) : number(number)
    {
        io_buffer = buffer;
        io_buffer_size = io_length = sizeof(buffer);
    }
    ~numbered_node() override { record("deleted"); }
    void on_step() override { record("step"); }
    void on_job_finished() override { record(std::string("finished ") + result_name(result())); }
    void on_connected() override
    {
        record("connected");
        start_job(se_job_recv, true);
    }
    void on_disconnected() override { record("disconnected"); }
    se_interest_t wait_interest() const override
    {
        se_interest_t interest = se_server_node::wait_interest();
        interest.due_ms = due_ms;
        return interest;
    }

    void record(const std::string& what) { events.push_back(std::to_string(number) + " " + what); }

    int number;
    char buffer[16];
    int64_t due_ms = -1;  // what the node's own work would be due at
};

class numbering_server : public se_server {
public:
    ~numbering_server() override { deactivate(); }
    void on_error(int32_t error) override { errors.push_back(error); }
    se_server_node* create_node() override { return new numbered_node(++created); }

    std::vector<int32_t> errors;
    int created = 0;
};

struct server_fixture : ::testing::Test {
    void SetUp() override
    {
        events.clear();
        // Bind to a port the system hands out, then free it for the server.
        uint16_t port;
        {
            loopback::listener_t probe;
            port = probe.port;
        }
        ASSERT_TRUE(server.initialize(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", port));
        ASSERT_TRUE(server.activate(true));
    }
    bool step_until(const std::function<bool()>& done)
    {
        return loopback::step_until([&] { server.step(); }, done);
    }

    numbering_server server;
};

TEST(server, error_names)
{
    const char* names[] = {"no_error", "socket_failed", "bind_failed", "listen_failed",
                           "can_not_enable_nonblocking_mode", "accept_failed",
                           "can_not_enable_nonblocking_mode_on_accepted_socket", "select_failed"};
    for (int32_t code = 0; code < 8; ++code)
        EXPECT_STREQ(se_server::error_name(code), names[code]);
    EXPECT_STREQ(se_server::error_name(9), "unknown_error");
    EXPECT_STREQ(se_server::error_name(-1), "unknown_error");
}

TEST(server, inactive_server_steps_do_nothing)
{
    events.clear();
    numbering_server server;
    EXPECT_FALSE(server.is_active());
    server.step();
    server.deactivate();
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(server.errors.empty());
    EXPECT_EQ(server.local_address_text(), "0.0.0.0");
}

TEST_F(server_fixture, initialize_and_activate_refused_while_active)
{
    uint16_t port = server.local_port();
    EXPECT_FALSE(server.initialize(AF_INET, SOCK_STREAM, IPPROTO_TCP, "0.0.0.0", 1));
    EXPECT_FALSE(server.activate(true));
    EXPECT_EQ(server.local_port(), port);
    EXPECT_EQ(server.local_address_text(), "127.0.0.1");
    EXPECT_TRUE(server.errors.empty());
}

TEST_F(server_fixture, bind_to_a_port_in_use_fails_once_and_stays_inactive)
{
    numbering_server second;
    ASSERT_TRUE(second.initialize(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", server.local_port()));
    EXPECT_FALSE(second.activate(true));
    EXPECT_EQ(second.errors, std::vector<int32_t>{se_error_bind_failed});
    EXPECT_FALSE(second.is_active());
    second.step();
    EXPECT_EQ(second.errors.size(), 1u);
}

TEST_F(server_fixture, a_bad_address_text_fails_at_bind)
{
    server.deactivate();
    ASSERT_TRUE(server.initialize(AF_INET, SOCK_STREAM, IPPROTO_TCP, "not an address", 80));
    EXPECT_FALSE(server.activate(true));
    EXPECT_EQ(server.errors, std::vector<int32_t>{se_error_bind_failed});
}

TEST_F(server_fixture, one_accept_per_step_in_arrival_order)
{
    int first = loopback::connect_to(server.local_port());
    int second = loopback::connect_to(server.local_port());
    ASSERT_TRUE(step_until([&] { return server.created == 1; }));
    EXPECT_EQ(server.node_list().size(), 1u);
    // The accepted node got connected, step and its first job step in this step.
    EXPECT_EQ(events, (std::vector<std::string>{"1 connected", "1 step"}));
    server.step();
    EXPECT_EQ(server.created, 2);
    EXPECT_EQ(events, (std::vector<std::string>{"1 connected", "1 step", "2 connected", "1 step", "2 step"}));
    close(first);
    close(second);
}

TEST_F(server_fixture, closed_node_is_deleted_in_its_turn_and_the_next_still_steps)
{
    int first = loopback::connect_to(server.local_port());
    ASSERT_TRUE(step_until([&] { return server.created == 1; }));
    int second = loopback::connect_to(server.local_port());
    ASSERT_TRUE(step_until([&] { return server.created == 2; }));
    close(first);
    events.clear();
    ASSERT_TRUE(step_until([&] { return server.node_list().size() == 1; }));
    auto deleted = std::find(events.begin(), events.end(), "1 deleted");
    ASSERT_NE(deleted, events.end());
    EXPECT_EQ(*(deleted - 2), "1 finished connection_closed");
    EXPECT_EQ(*(deleted - 1), "1 disconnected");
    // In the same pass, the node after the deleted one has its turn.
    ASSERT_NE(deleted + 1, events.end());
    EXPECT_EQ(*(deleted + 1), "2 step");
    close(second);
}

TEST_F(server_fixture, deactivate_closes_busy_nodes_in_handler_order)
{
    int client = loopback::connect_to(server.local_port());
    ASSERT_TRUE(step_until([&] { return server.created == 1; }));
    events.clear();
    server.deactivate();
    EXPECT_FALSE(server.is_active());
    EXPECT_TRUE(server.node_list().empty());
    EXPECT_EQ(events, (std::vector<std::string>{"1 finished aborted", "1 disconnected", "1 deleted"}));
    EXPECT_EQ(loopback::read_exactly(client, 1), "");
    close(client);
    EXPECT_LT(loopback::connect_to(server.local_port()), 0);
    // A deactivated server can be activated again on the same port.
    EXPECT_TRUE(server.activate(true));
}

TEST_F(server_fixture, reactivation_on_the_same_port_after_closed_connections)
{
    int client = loopback::connect_to(server.local_port());
    ASSERT_TRUE(step_until([&] { return server.created == 1; }));
    // The server closes first, so its side of the connection waits in TIME_WAIT.
    server.deactivate();
    close(client);
    EXPECT_TRUE(server.activate(true));
    EXPECT_TRUE(server.errors.empty());
}

TEST_F(server_fixture, sockets_beyond_fd_setsize_are_polled)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 2 * FD_SETSIZE)
        GTEST_SKIP() << "the descriptor limit is too low";
    rlimit raised = limit;
    raised.rlim_cur = 2 * FD_SETSIZE;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    // Fill every descriptor below FD_SETSIZE so that the next ones lie above it.
    std::vector<int> fillers;
    for (int fd = open("/dev/null", O_RDONLY); fd >= 0 && fd < FD_SETSIZE + 8; fd = open("/dev/null", O_RDONLY))
        fillers.push_back(fd);

    int client = loopback::connect_to(server.local_port());
    ASSERT_GT(client, FD_SETSIZE);
    ASSERT_TRUE(step_until([&] { return server.created == 1; }));
    se_server_node* node = server.node_list().front();
    EXPECT_GT(node->sock, FD_SETSIZE);
    ASSERT_EQ(send(client, "hello", 5, 0), 5);
    ASSERT_TRUE(step_until([&] { return node->io_done == 5; }));
    close(client);
    ASSERT_TRUE(step_until([&] { return server.node_list().empty(); }));
    EXPECT_NE(std::find(events.begin(), events.end(), "1 finished connection_closed"), events.end());

    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// ---- the wait between steps ----------------------------------------------

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Steps with the wait between steps, as the web server thread does, for
// about period; the number of steps made.
int steps_within(se_server& server, int32_t interval_ms, milliseconds period)
{
    const auto end = steady_clock::now() + period;
    int steps = 0;
    while (steady_clock::now() < end) {
        server.step();
        ++steps;
        server.wait(interval_ms);
    }
    return steps;
}

// How long one wait took.
milliseconds timed_wait(se_server& server, int32_t interval_ms)
{
    const auto start = steady_clock::now();
    server.wait(interval_ms);
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
}

// Generous against a loaded machine, and still far below the 10 s interval
// that a wait which missed its event would last.
constexpr int32_t long_interval = 10000;
constexpr milliseconds soon(5000);

TEST_F(server_fixture, with_nothing_to_do_the_wait_lasts_the_interval)
{
    // One step per 250 ms: five in a second, a sixth when the last wait
    // ends just before the second is over.
    EXPECT_LE(steps_within(server, 250, milliseconds(1000)), 6);
    numbering_server inactive;
    EXPECT_LE(steps_within(inactive, 250, milliseconds(1000)), 6);
}

TEST_F(server_fixture, connections_requests_and_wake_ups_end_the_wait_at_once)
{
    server.step();
    // Three connections at once: each makes the next step come at once,
    // one accept per step.
    int clients[3];
    for (int& client : clients)
        client = loopback::connect_to(server.local_port());
    for (int accepted = 1; accepted <= 3; ++accepted) {
        EXPECT_LT(timed_wait(server, long_interval), soon);
        server.step();
        EXPECT_EQ(server.created, accepted);
    }
    ASSERT_EQ(send(clients[1], "hi", 2, 0), 2);
    EXPECT_LT(timed_wait(server, long_interval), soon);
    server.step();
    EXPECT_EQ((*std::next(server.node_list().begin()))->io_done, 2);

    // A wake-up from another thread, and one given before the wait began.
    std::thread waker([&] {
        std::this_thread::sleep_for(milliseconds(100));
        server.wake();
    });
    EXPECT_LT(timed_wait(server, long_interval), soon);
    waker.join();
    server.wake();
    EXPECT_LT(timed_wait(server, long_interval), soon);
    for (int client : clients)
        close(client);
}

TEST_F(server_fixture, the_earliest_due_time_of_a_node_ends_the_wait)
{
    int first = loopback::connect_to(server.local_port());
    int second = loopback::connect_to(server.local_port());
    ASSERT_TRUE(step_until([&] { return server.created == 2; }));
    auto* early = static_cast<numbered_node*>(server.node_list().back());
    auto* late = static_cast<numbered_node*>(server.node_list().front());
    late->due_ms = se_clock_ms() + long_interval;
    early->due_ms = se_clock_ms() + 200;
    server.step();
    const milliseconds waited = timed_wait(server, long_interval);
    EXPECT_GE(waited, milliseconds(190));
    EXPECT_LT(waited, soon);
    // A due time already past: no wait at all.
    early->due_ms = 0;
    server.step();
    EXPECT_LT(timed_wait(server, long_interval), soon);
    close(first);
    close(second);
}

TEST_F(server_fixture, sockets_a_step_would_do_nothing_with_do_not_end_the_wait)
{
    int receiving = loopback::connect_to(server.local_port());    // a receive job, nothing sent
    int not_asked = loopback::connect_to(server.local_port());    // no job; its client sends
    int reset = loopback::connect_to(server.local_port());        // no job; its client resets
    int not_reading = loopback::connect_to(server.local_port());  // a send job; its client reads nothing
    int small = 4096;
    setsockopt(not_reading, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    ASSERT_TRUE(step_until([&] { return server.created == 4; }));
    std::vector<se_server_node*> nodes(server.node_list().begin(), server.node_list().end());
    nodes[1]->abort_job();
    nodes[2]->abort_job();
    ASSERT_EQ(send(not_asked, "ignored", 7, 0), 7);
    loopback::close_with_reset(reset);

    static char bulk[16 * 1024 * 1024];
    se_server_node* sender = nodes[3];
    sender->abort_job();
    setsockopt(sender->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    sender->io_buffer = bulk;
    sender->io_buffer_size = sender->io_length = sizeof(bulk);
    ASSERT_TRUE(sender->start_job(se_job_send, false));
    // Until the send stalls: both buffers full.
    int32_t sent = -1;
    ASSERT_TRUE(step_until([&] {
        bool stalled = sender->io_done == sent;
        sent = sender->io_done;
        return stalled && sent > 0;
    }));

    EXPECT_LE(steps_within(server, 250, milliseconds(1000)), 6);
    EXPECT_TRUE(sender->is_busy());
    EXPECT_EQ(server.node_list().size(), 4u);
    close(receiving);
    close(not_asked);
    close(not_reading);
}

TEST_F(server_fixture, a_failing_accept_is_retried_once_per_interval)
{
    int client = loopback::connect_to(server.local_port());
    ASSERT_TRUE(step_until([&] { return server.created == 1; }));
    int pending = loopback::connect_to(server.local_port());
    // No descriptor left for the next accept: every one below the lowest
    // free one is taken, and the limit forbids that one.
    int lowest_free = open("/dev/null", O_RDONLY);
    ASSERT_GE(lowest_free, 0);
    close(lowest_free);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    rlimit lowered = limit;
    lowered.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    int steps = steps_within(server, 250, milliseconds(1000));
    setrlimit(RLIMIT_NOFILE, &limit);

    EXPECT_LE(steps, 6);
    EXPECT_GE(server.errors.size(), 1u);
    EXPECT_EQ(server.errors, std::vector<int32_t>(server.errors.size(), se_error_accept_failed));
    ASSERT_TRUE(step_until([&] { return server.created == 2; }));
    close(client);
    close(pending);
}

}  // namespace
