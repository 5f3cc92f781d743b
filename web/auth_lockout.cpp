// The table of failed authentications per address; see auth_lockout.h.
#include "web/auth_lockout.h"

#include <chrono>

auth_lockout_t auth_lockout;

int64_t lockout_clock_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool auth_lockout_t::locked(const std::string& address, int64_t now_ms)
{
    const auto found = table.find(address);
    return found != table.end() && now_ms < found->second.locked_until;
}

bool auth_lockout_t::note_failure(const std::string& address, int64_t now_ms)
{
    auto found = table.find(address);
    if (found == table.end()) {
        if (table.size() >= limits.max_addresses)
            forget_expired(now_ms);
        if (table.size() >= limits.max_addresses)
            return false;
        found = table.emplace(address, entry_t()).first;
    }
    entry_t& entry = found->second;
    if (now_ms < entry.locked_until)
        return false;  // already locked: reported when it began
    entry.failures.push_back(now_ms);
    while (entry.failures.size() > static_cast<size_t>(limits.failures) ||
           (!entry.failures.empty() && now_ms - entry.failures.front() >= limits.window_ms))
        entry.failures.pop_front();
    if (limits.failures <= 0 || entry.failures.size() < static_cast<size_t>(limits.failures))
        return false;
    entry.locked_until = now_ms + limits.lock_ms;
    entry.failures.clear();
    return true;
}

void auth_lockout_t::set_limits(const auth_lockout_limits_t& new_limits)
{
    limits = new_limits;
    table.clear();
}

bool auth_lockout_t::expired(const entry_t& entry, int64_t now_ms) const
{
    return now_ms >= entry.locked_until &&
           (entry.failures.empty() || now_ms - entry.failures.back() >= limits.window_ms);
}

void auth_lockout_t::forget_expired(int64_t now_ms)
{
    for (auto i = table.begin(); i != table.end();)
        i = expired(i->second, now_ms) ? table.erase(i) : std::next(i);
}
