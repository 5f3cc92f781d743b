// mt_obj: one lock with enter/leave, the base of every lock instance in the
// program (player_lock, log_lock, server_lock as the web server's base).
// Header-only; it lies with the log (settings/), the lowest folder, so that
// every folder above can use it.
#pragma once

#include <mutex>

class mt_obj {
public:
    mt_obj() = default;
    virtual ~mt_obj() = default;
    mt_obj(const mt_obj&) = delete;
    mt_obj& operator=(const mt_obj&) = delete;

    // No time-out and no try-lock: nothing in the program takes a lock it
    // already holds, and the lock order (server_lock before player_lock or
    // log_lock, those two being leaves) rules out waiting in a cycle.
    void enter() { mutex_.lock(); }
    void leave() { mutex_.unlock(); }

private:
    std::mutex mutex_;  // the platform lock
};

// Holds an mt_obj for the life of a scope; used where a function has several
// ways out, so that no path forgets to leave.
class mt_guard_t {
public:
    explicit mt_guard_t(mt_obj& lock) : lock_(lock) { lock_.enter(); }
    ~mt_guard_t() { lock_.leave(); }
    mt_guard_t(const mt_guard_t&) = delete;
    mt_guard_t& operator=(const mt_guard_t&) = delete;

private:
    mt_obj& lock_;
};
