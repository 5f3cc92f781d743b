// route: the short answer every route shares, and the cross-thread signal of
// a stream part.
#include "web/route.h"

#include <chrono>

#include "http/http_text.h"
#include "web/simple_server.h"

int64_t route_clock_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string route_header(const route_request_t& request, const char* name)
{
    auto found = request.headers.find(name);
    return found == request.headers.end() ? std::string() : found->second;
}

route_answer_t route_short_answer(route_slot_t& slot, const char* status, const std::string& extra)
{
    slot.length = error_response(slot.at, slot.room, &slot.header_length, status, extra);
    return slot.length < 0 ? route_answer_t::no_room : route_answer_t::response;
}

void route_signal_t::raise()
{
    flag.store(true, std::memory_order_release);
    // The server's wait then asks the connection's due time again.
    web_server.wake();
}
