// simple_server_node: receiving, the request batch and authentication, the
// sends of the routes' answers, pieces and stream parts, with the node's log
// lines.
#include "web/simple_server_node.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "settings/log.h"
#include "settings/metrics.h"
#include "settings/settings.h"
#include "http/http_parse.h"
#include "http/http_text.h"
#include "web/auth_lockout.h"

namespace {
const char* const separator_line = "//---------------------------------------------------------------------------\n";

// A buffer of the configured size; none (and size 0) when the size is not
// positive or the memory cannot be had, so a bad setting cannot throw.
char* allocate(int32_t& size)
{
    if (size <= 0) {
        size = 0;
        return nullptr;
    }
    char* buffer = new (std::nothrow) char[static_cast<size_t>(size)];
    if (!buffer)
        size = 0;
    return buffer;
}

// The realm is the executable's name without its extension.
std::string realm() { return replace_extension(file_name(settings.exe_path), ""); }

}  // namespace

simple_server_node::simple_server_node(const route_table& table)
    : in_size(settings.sizeof_in), out_size(settings.sizeof_out), routes(table)
{
    in_buffer = allocate(in_size);
    out_buffer = allocate(out_size);
    io_buffer = in_buffer;
    io_buffer_size = in_size;
}

simple_server_node::~simple_server_node()
{
    // Closed here, while this class's handlers still report the close.
    close_connection();
    delete[] in_buffer;
    delete[] out_buffer;
}

void simple_server_node::log_event(const std::string& event)
{
    log_print("%s node (ip = %s, port = %hu) %s\n", utc_timestamp().c_str(),
              peer_address_text().c_str(), peer_port(), event.c_str());
}

void simple_server_node::log_block(const std::string& event, const std::string& text)
{
    log_print("%s%s node (ip = %s, port = %hu) %s\n%s%s\n%s", separator_line,
              utc_timestamp().c_str(), peer_address_text().c_str(), peer_port(), event.c_str(),
              separator_line, text.c_str(), separator_line);
}

bool simple_server_node::start_logged_job(uint8_t new_job, bool immediate_step)
{
    if (start_job(new_job, immediate_step)) {
        log_event(std::string("job ") + job_name(new_job) + " activated");
        return true;
    }
    log_event(std::string("can not activate job ") + job_name(job()));
    return false;
}

void simple_server_node::on_connected()
{
    metrics.http_connections.fetch_add(1, std::memory_order_relaxed);
    log_event("connected");
    start_receiving();
}

void simple_server_node::on_disconnected()
{
    metrics.http_connections.fetch_sub(1, std::memory_order_relaxed);
    routes.on_disconnected();
    log_event("disconnected");
}

void simple_server_node::start_receiving()
{
    io_buffer = in_buffer;
    io_buffer_size = in_size;
    io_length = in_size;
    start_logged_job(se_job_recv, true);
}

bool simple_server_node::batch_received() const
{
    return is_busy() && job() == se_job_recv && ends_with_empty_line();
}

bool simple_server_node::ends_with_empty_line() const
{
    return in_buffer && io_done >= 4 && io_done <= in_size &&
           std::memcmp(in_buffer + io_done - 4, "\r\n\r\n", 4) == 0;
}

void simple_server_node::on_step()
{
    // Within a turn the server steps the node again while its job asks to.
    if (!is_immediate())
        turn_started = route_clock_us();
    if (!is_busy()) {
        if (batch_waiting)
            answer_rest();
        else if (current_mode() == route_mode_t::stream)
            send_stream_part();
        return;
    }
    etx_detected = batch_received();
    if (etx_detected)
        answer_etx(true);
}

se_interest_t simple_server_node::wait_interest() const
{
    se_interest_t interest = se_server_node::wait_interest();
    if (batch_received())
        interest.due_ms = 0;
    else if (!is_busy() && (batch_waiting || current_mode() == route_mode_t::stream))
        interest.due_ms = current->due_ms();
    return interest;
}

route_mode_t simple_server_node::current_mode() const
{
    return current ? current->mode() : route_mode_t::answered;
}

void simple_server_node::answer_etx(bool abort_receive)
{
    etx_detected = true;
    // The block is logged as received, but for the password of a Basic
    // authorization, which the log must not hold.
    log_block("etx detected",
              hide_credentials(std::string(in_buffer, static_cast<size_t>(io_done - 2))));
    if (abort_receive)
        abort_job();
    answer_batch();
}

void simple_server_node::on_job_finished()
{
    if (!quiet_job || result() != se_success)
        log_event(std::string("job ") + job_name(job()) + " finished with result " + result_name(result()));
    quiet_job = false;
    switch (result()) {
    case se_aborted:
    case se_connection_closed:
        break;
    case se_success:
        if (current_mode() == route_mode_t::stream)
            break;
        if (job() == se_job_send) {
            if (current_mode() == route_mode_t::pieces)
                send_next_piece();
            else if (batch_at < batch_end)
                answer_rest();
            else
                start_receiving();
        } else if (job() == se_job_recv && ends_with_empty_line()) {
            // The batch filled the input buffer exactly, up to its empty line.
            answer_etx(false);
        } else {
            // The input buffer is full and no empty line ends it: a header
            // block larger than the buffer, or a request with a body. No
            // answer can come of it, so the connection goes.
            close_connection();
        }
        break;
    default:
        close_connection();
        break;
    }
}

bool simple_server_node::parse_one(const char*& cursor, const char* end, route_request_t& request)
{
    const char* next = nullptr;
    const char* target_begin = nullptr;
    const char* target_end = nullptr;
    std::string version;
    if (!parse_request(cursor, end, &next, &request.method, &target_begin, &target_end, &version,
                       &request.headers) ||
        version != "HTTP/1.1")
        return false;
    std::string scheme;
    if (!parse_url(target_begin, target_end, nullptr, &scheme, &request.user, &request.password,
                   nullptr, nullptr, &request.path, &request.query_begin, &request.query_end,
                   &request.fragment) ||
        (!scheme.empty() && scheme != "http"))
        return false;
    request.host = route_header(request, "Host");
    cursor = next;
    return true;
}

void simple_server_node::answer_batch()
{
    batch_at = 0;
    batch_end = io_done;
    answer_rest();
}

void simple_server_node::answer_rest()
{
    batch_waiting = false;
    current = nullptr;
    const char* cursor = in_buffer + batch_at;
    const char* end = in_buffer + batch_end;
    route_slot_t slot{out_buffer, out_size};
    io_length = 0;
    // An answer that goes on past this send (a file in pieces, a stream)
    // ends the loop: the requests behind a file wait for its last piece, and
    // nothing follows a stream's header, as a stream never ends.
    while (cursor != end && !current) {
        const char* request_begin = cursor;
        const int32_t attempts = auth_attempts;
        route_request_t request;
        // A broken request ends the batch: nothing more is sent, not even
        // the responses composed for the requests before it.
        if (!parse_one(cursor, end, request)) {
            close_connection();
            return;
        }
        slot.behind_others = io_length > 0;
        route_handler* handler = nullptr;
        route_answer_t composed = answer(request, slot, handler);
        if (composed == route_answer_t::later && io_length == 0) {
            // What it needs is on its way: the node rests and on_step asks again.
            auth_attempts = attempts;
            batch_at = static_cast<int32_t>(request_begin - in_buffer);
            batch_waiting = true;
            current = handler;
            return;
        }
        if ((composed == route_answer_t::no_room || composed == route_answer_t::later) && io_length > 0) {
            // Answered again from an empty buffer once this one is sent.
            auth_attempts = attempts;
            cursor = request_begin;
            break;
        }
        if (composed == route_answer_t::no_room) {
            // The output buffer cannot hold even this answer: writing on
            // would run past it, so the connection closes instead.
            log_event("error detected");
            close_connection();
            return;
        }
        if (composed == route_answer_t::refused) {
            close_connection();
            return;
        }
        finish_response(slot);
        if (handler && handler->mode() != route_mode_t::answered)
            current = handler;
    }
    batch_at = static_cast<int32_t>(cursor - in_buffer);
    send_out(io_length, false);
}

void simple_server_node::send_out(int32_t length, bool immediate_step)
{
    io_buffer = out_buffer;
    io_buffer_size = out_size;
    io_length = length;
    start_logged_job(se_job_send, immediate_step);
}

void simple_server_node::send_next_piece()
{
    int32_t length = 0;
    bool immediate_step = false;
    if (!current->next_piece(*this, out_buffer, out_size, length, immediate_step)) {
        log_event("error detected");
        close_connection();
        return;
    }
    send_out(length, immediate_step);
}

void simple_server_node::send_stream_part()
{
    const int32_t length = current->stream_part(*this, out_buffer, out_size);
    if (length < 0) {
        close_connection();
    } else if (length > 0 && current->quiet_parts()) {
        io_buffer = out_buffer;
        io_buffer_size = out_size;
        io_length = length;
        quiet_job = start_job(se_job_send, false);
        if (!quiet_job)
            log_event(std::string("can not activate job ") + job_name(job()));
    } else if (length > 0) {
        send_out(length, false);
    }
}

route_answer_t simple_server_node::answer(route_request_t& request, route_slot_t& slot,
                                          route_handler*& handler)
{
    handler = nullptr;
    // The method is not looked at before the connection is authorised.
    if (!authorized) {
        // An address locked out for its failures elsewhere is not checked.
        if (auth_attempts > max_auth_attempts || auth_lockout.locked(peer_address_text(), lockout_clock_ms()))
            return route_short_answer(slot, "403 Forbidden");
        ++auth_attempts;
        if (!credentials_match(request)) {
            count_failure(request);
            return route_short_answer(slot, "401 Unauthorized",
                                  "WWW-Authenticate: Basic realm=\"" + realm() + "\"\r\n");
        }
        authorized = true;
        log_event("authorization detected");
    }
    return routes.answer(*this, request, slot, handler);
}

// Only requests that offered credentials count: a browser's first request
// without any is a question, not a guess.
void simple_server_node::count_failure(const route_request_t& request)
{
    const bool offered = request.headers.count("Authorization") != 0 || !request.user.empty() ||
                         !request.password.empty();
    if (offered && auth_lockout.note_failure(peer_address_text(), lockout_clock_ms())) {
        const auth_lockout_limits_t& limits = auth_lockout.current_limits();
        log_event("address locked out for " + std::to_string(limits.lock_ms / 1000) + " s after " +
                  std::to_string(limits.failures) + " failed authorizations");
    }
}

bool simple_server_node::credentials_match(const route_request_t& request) const
{
    // Credentials in the target pass too; with an empty login and password
    // every target without credentials does.
    if (request.user == settings.login && request.password == settings.password)
        return true;
    std::string pair = settings.login + ":" + settings.password;
    return route_header(request, "Authorization") == "Basic " + base64_encode(pair.data(), pair.size());
}

void simple_server_node::finish_response(route_slot_t& slot)
{
    metrics_count_answer(slot.length >= 12 ? std::atoi(std::string(slot.at + 9, 3).c_str()) : 0);
    // 200 and 206 are the answers that carry what was asked for.
    if (slot.length < 15 || (std::memcmp(slot.at + 9, "200", 3) != 0 && std::memcmp(slot.at + 9, "206", 3) != 0))
        log_event("error detected");
    log_block("header to send",
              std::string(slot.at, static_cast<size_t>(std::max(slot.header_length - 2, 0))));
    slot.at += slot.length;
    slot.room -= slot.length;
    io_length += slot.length;
}
