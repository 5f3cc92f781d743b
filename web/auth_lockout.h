// Failed authentications per client address, over all of its connections:
// an address with `failures` failed checks within `window_ms` gets 403 on
// its new connections for `lock_ms`, so that guessing the password by
// opening connection after connection (each allows four checks) stops.
// Used by simple_server_node on the web server thread, under server_lock.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

struct auth_lockout_limits_t {
    int32_t failures = 20;         // failed checks that lock an address out
    int64_t window_ms = 600000;    // ... when they fall within this time
    int64_t lock_ms = 600000;      // how long new connections are refused
    size_t max_addresses = 65536;  // addresses tracked at most; more go unseen
};

class auth_lockout_t {
public:
    // True while address is locked out at now_ms.
    bool locked(const std::string& address, int64_t now_ms);
    // Counts one failed check; true when this one locked the address (the
    // caller logs that once).
    bool note_failure(const std::string& address, int64_t now_ms);
    // Shorter limits for tests; forgets every address.
    void set_limits(const auth_lockout_limits_t& new_limits);
    const auth_lockout_limits_t& current_limits() const { return limits; }
    void clear() { table.clear(); }
    size_t tracked() const { return table.size(); }

private:
    struct entry_t {
        std::deque<int64_t> failures;  // times of the last failed checks, oldest first
        int64_t locked_until = 0;      // refused before this time
    };
    bool expired(const entry_t& entry, int64_t now_ms) const;
    void forget_expired(int64_t now_ms);

    auth_lockout_limits_t limits;
    std::unordered_map<std::string, entry_t> table;
};

// The web server's one table.
extern auth_lockout_t auth_lockout;
// The monotonic clock the table is kept on, ms.
int64_t lockout_clock_ms();
