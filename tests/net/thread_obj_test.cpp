// thread_obj: start on a running object, stop on a stopped one, restart, and
// stop waiting for the step that runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "net/thread_obj.h"
#include "tests/support/wait.h"

namespace {

// Counts its steps; each step can be held inside until released.
class counting_thread_t : public thread_obj {
public:
    ~counting_thread_t() override { stop(); }

    std::atomic<int> steps{0};          // steps begun
    std::atomic<bool> in_step{false};   // a step is running right now
    std::atomic<bool> hold{false};      // keeps a step running while true
    std::atomic<std::thread::id> runner{};  // the thread that ran the last step

protected:
    void step() override
    {
        in_step = true;
        runner = std::this_thread::get_id();
        ++steps;
        while (hold)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        in_step = false;
    }
};

void wait_for_steps(counting_thread_t& t, int n)
{
    kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::seconds(5)), [&] { return t.steps >= n; },
                             std::chrono::milliseconds(1));
}

}  // namespace

TEST(thread_obj, start_on_a_running_object_fails_and_keeps_the_same_thread)
{
    counting_thread_t t;
    EXPECT_TRUE(t.is_stopped());
    ASSERT_TRUE(t.start());
    EXPECT_FALSE(t.is_stopped());
    wait_for_steps(t, 1);
    const std::thread::id first = t.runner;
    EXPECT_FALSE(t.start());
    const int before = t.steps;
    wait_for_steps(t, before + 2);
    EXPECT_EQ(t.runner.load(), first);
    t.stop();
    EXPECT_TRUE(t.is_stopped());
}

TEST(thread_obj, stop_on_a_stopped_object_returns_at_once)
{
    counting_thread_t t;
    t.stop();
    t.stop();
    EXPECT_TRUE(t.is_stopped());
    EXPECT_EQ(t.steps, 0);
}

TEST(thread_obj, stop_waits_for_the_running_step_and_no_step_follows)
{
    counting_thread_t t;
    t.hold = true;
    ASSERT_TRUE(t.start());
    wait_for_steps(t, 1);
    ASSERT_TRUE(t.in_step);
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        t.stop();
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The step is still held, so stop has not returned.
    EXPECT_FALSE(stopped);
    t.hold = false;
    stopper.join();
    EXPECT_FALSE(t.in_step);
    const int after_stop = t.steps;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(t.steps, after_stop);
}

TEST(thread_obj, a_stopped_object_starts_again_on_a_new_thread)
{
    counting_thread_t t;
    ASSERT_TRUE(t.start());
    wait_for_steps(t, 1);
    t.stop();
    const int first_run = t.steps;
    ASSERT_TRUE(t.start());
    wait_for_steps(t, first_run + 1);
    EXPECT_GT(t.steps, first_run);
    t.stop();
}
