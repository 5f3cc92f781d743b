// A stop request that a worker thread can both poll (from inside FFmpeg's
// interrupt callback) and sleep on. Raised by the thread that stops the
// worker; read by the worker. Owned by the object that owns the worker.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class stop_signal_t {
public:
    void raise()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raised_.store(true);
        }
        wake_.notify_all();
    }
    bool raised() const { return raised_.load(std::memory_order_relaxed); }
    // Sleeps until the time point; false when the stop came first.
    bool sleep_until(std::chrono::steady_clock::time_point until)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return !wake_.wait_until(lock, until, [this] { return raised_.load(); });
    }
    bool sleep_for(std::chrono::milliseconds ms)
    {
        return sleep_until(std::chrono::steady_clock::now() + ms);
    }

private:
    std::atomic<bool> raised_{false};  // the stop was requested
    std::mutex mutex_;                 // pairs with wake_
    std::condition_variable wake_;     // wakes a sleeping worker on raise
};
