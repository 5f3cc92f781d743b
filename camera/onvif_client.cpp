// The ONVIF questions over the network, and the sessions kept between
// logins. Every answer goes through http_post's size limit and the parser
// of camera/onvif_soap.h; every address the camera reports is rewritten to
// the configured host before anything connects to it.
#include "camera/onvif_client.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "camera/camera_address.h"
#include "camera/onvif_soap.h"
#include "http/http_client.h"
#include "http/http_text.h"
#include "settings/log.h"

struct onvif_session_t {
    std::string host;             // the configured host, put into every reported address
    uint16_t port = 0;            // the configured port (the key; the answering one may be 80)
    std::string user;
    std::string password;
    int64_t clock_offset_ms = 0;  // the camera's clock minus ours
    std::string device_url;       // the device service that answered
    std::string media_url;        // the media service, host replaced
    bool media2 = false;          // media_url is the second media service
    std::vector<onvif_profile_t> profiles;  // in the camera's order
    std::map<std::pair<int32_t, bool>, std::string> streams;  // found URLs by channel and sub stream (under cache_mutex)
};

namespace {

using steady = std::chrono::steady_clock;

// A profile list of a large recorder is a few hundred kilobytes; no answer
// to these questions is larger.
constexpr size_t answer_limit = 1 << 20;

std::mutex cache_mutex;  // guards sessions and every session's streams
std::map<std::string, std::shared_ptr<onvif_session_t>> sessions;  // by host, port, credentials

std::string key_of(const std::string& host, uint16_t port, const std::string& user,
                   const std::string& password)
{
    return host + '\n' + std::to_string(port) + '\n' + user + '\n' + password;
}

int64_t utc_now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A UsernameToken nonce from the kernel's random source.
std::string random_nonce()
{
    std::string nonce(16, '\0');
    size_t filled = 0;
    while (filled < nonce.size()) {
        const ssize_t n = getrandom(nonce.data() + filled, nonce.size() - filled, 0);
        if (n > 0)
            filled += size_t(n);
        else if (errno != EINTR)
            break;  // no random source at all: the camera may still take it
    }
    return nonce;
}

// The port and request target of an http:// URL (port 80 when none).
bool http_target(const std::string& url, uint16_t* port, std::string* target)
{
    size_t begin = 0, end = 0;
    if (!url_authority(url, &begin, &end))
        return false;
    const size_t bracket = url.find(']', begin);
    const size_t colon = url.rfind(':', end - 1);
    int32_t value = 80;
    if (colon != std::string::npos && colon > begin &&
        (bracket == std::string::npos || bracket >= end || colon > bracket)) {
        value = 0;
        for (size_t i = colon + 1; i < end; ++i) {
            if (url[i] < '0' || url[i] > '9' || value > 65535)
                return false;
            value = value * 10 + (url[i] - '0');
        }
        if (value <= 0 || value > 65535)
            return false;
    }
    *port = uint16_t(value);
    *target = end < url.size() ? url.substr(end) : "/";
    return true;
}

// One question to the service at url; the security header is added when the
// session has a user and secured is set.
onvif_result_t ask(const onvif_session_t& s, const std::string& url, const std::string& body,
                   bool secured, steady::time_point deadline, onvif_answer_t* answer,
                   std::string* reason)
{
    http_request_t request;
    // The socket wants an IPv6 address without the brackets of a URL.
    const bool bracketed = s.host.size() > 2 && s.host.front() == '[' && s.host.back() == ']';
    request.host = bracketed ? s.host.substr(1, s.host.size() - 2) : s.host;
    request.content_type = "application/soap+xml; charset=utf-8";
    if (!http_target(url, &request.port, &request.path)) {
        *reason = "unusable service address " + url;
        return onvif_result_t::no_answer;
    }
    onvif_token_t token;
    const bool with_token = secured && !s.user.empty();
    if (with_token)
        token = {s.user, s.password, random_nonce(),
                 onvif_time_text((utc_now_ms() + s.clock_offset_ms) / 1000)};
    request.body = onvif_envelope(body, with_token ? &token : nullptr);
    http_response_t response;
    if (!http_post(request, deadline, answer_limit, &response, reason))
        return onvif_result_t::no_answer;
    const bool parsed = onvif_parse_answer(response.body, answer);
    if (response.status == 401 || (parsed && answer->not_authorized)) {
        *reason = "credentials refused (HTTP " + std::to_string(response.status) +
                  (parsed && answer->not_authorized ? ", not authorized)" : ")");
        return onvif_result_t::refused;
    }
    if (!parsed) {
        *reason = "HTTP " + std::to_string(response.status) + " without a SOAP answer";
        return onvif_result_t::no_answer;
    }
    if (answer->fault || response.status / 100 != 2) {
        *reason = "HTTP " + std::to_string(response.status) + ", fault: " + answer->fault_text;
        return onvif_result_t::no_answer;
    }
    return onvif_result_t::found;
}

// The device service's clock, first at the configured port, then at 80; the
// first port gets half the time when a second one remains.
onvif_result_t ask_clock(onvif_session_t& s, steady::time_point deadline, std::string* reason)
{
    std::vector<uint16_t> ports{s.port};
    if (s.port != 80)
        ports.push_back(80);
    for (size_t i = 0; i < ports.size(); ++i) {
        const auto until = i + 1 < ports.size() ? steady::now() + (deadline - steady::now()) / 2
                                                : deadline;
        const std::string url = "http://" + url_host(s.host) + ":" + std::to_string(ports[i]) +
                                "/onvif/device_service";
        onvif_answer_t answer;
        std::string why;
        const onvif_result_t r = ask(s, url, onvif_time_question(), false, until, &answer, &why);
        // A fault is an ONVIF answer as well: the device service is there.
        if (r == onvif_result_t::found || r == onvif_result_t::refused || answer.fault) {
            s.device_url = url;
            if (answer.has_time)
                s.clock_offset_ms = answer.utc_seconds * 1000 - utc_now_ms();
            return onvif_result_t::found;
        }
        *reason += (reason->empty() ? "" : "; ") + std::string("port ") +
                   std::to_string(ports[i]) + ": " + why;
    }
    return onvif_result_t::no_answer;
}

// The media service: GetServices, or GetCapabilities for older cameras.
onvif_result_t ask_media(onvif_session_t& s, steady::time_point deadline, std::string* reason,
                         std::string* media1_url)
{
    onvif_answer_t answer;
    onvif_result_t r = ask(s, s.device_url, onvif_services_question(), true, deadline, &answer,
                           reason);
    if (r == onvif_result_t::refused)
        return r;
    for (const onvif_service_t& service : answer.services) {
        const std::string url = onvif_reachable_url(service.address, "http", s.host);
        if (service.name_space == onvif_media2_namespace && !url.empty())
            s.media_url = url, s.media2 = true;
        if (service.name_space == onvif_media1_namespace && !url.empty())
            *media1_url = url;
    }
    if (media1_url->empty() && !s.media2) {
        r = ask(s, s.device_url, onvif_capabilities_question(), true, deadline, &answer, reason);
        if (r != onvif_result_t::found)
            return r;
        *media1_url = onvif_reachable_url(answer.capabilities_media, "http", s.host);
    }
    if (s.media_url.empty())
        s.media_url = *media1_url;
    if (s.media_url.empty()) {
        *reason = "the camera names no media service";
        return onvif_result_t::no_answer;
    }
    return onvif_result_t::found;
}

bool has_video(const std::vector<onvif_profile_t>& profiles)
{
    for (const onvif_profile_t& p : profiles)
        if (p.video)
            return true;
    return false;
}

// The profiles, from the second media service when there is one (it lists
// H.265 profiles), else or when that fails from the first.
onvif_result_t ask_profiles(onvif_session_t& s, const std::string& media1_url,
                            steady::time_point deadline, std::string* reason)
{
    onvif_answer_t answer;
    onvif_result_t r = ask(s, s.media_url, onvif_profiles_question(s.media2), true, deadline,
                           &answer, reason);
    if (r == onvif_result_t::refused)
        return r;
    if ((r != onvif_result_t::found || !has_video(answer.profiles)) && s.media2 &&
        !media1_url.empty()) {
        s.media_url = media1_url;
        s.media2 = false;
        r = ask(s, s.media_url, onvif_profiles_question(false), true, deadline, &answer, reason);
    }
    if (r != onvif_result_t::found)
        return r;
    if (!has_video(answer.profiles)) {
        *reason = "the camera lists no video profile";
        return onvif_result_t::no_answer;
    }
    s.profiles = std::move(answer.profiles);
    return onvif_result_t::found;
}

onvif_result_t open_session(onvif_session_t& s, uint32_t wait_ms, std::string* reason)
{
    const steady::time_point deadline = steady::now() + std::chrono::milliseconds(wait_ms);
    std::string media1_url;
    onvif_result_t r = ask_clock(s, deadline, reason);
    if (r == onvif_result_t::found) {
        reason->clear();
        r = ask_media(s, deadline, reason, &media1_url);
    }
    if (r == onvif_result_t::found)
        r = ask_profiles(s, media1_url, deadline, reason);
    return r;
}

}  // namespace

onvif_result_t onvif_login(const std::string& host, uint16_t port, const std::string& user,
                           const std::string& password, uint32_t wait_ms,
                           std::shared_ptr<onvif_session_t>* session, std::string* reason)
{
    const std::string key = key_of(host, port, user, password);
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        const auto kept = sessions.find(key);
        if (kept != sessions.end()) {
            *session = kept->second;
            return onvif_result_t::found;
        }
    }
    auto fresh = std::make_shared<onvif_session_t>();
    fresh->host = host;
    fresh->port = port;
    fresh->user = user;
    fresh->password = password;
    const onvif_result_t r = open_session(*fresh, wait_ms, reason);
    if (r != onvif_result_t::found)
        return r;
    std::lock_guard<std::mutex> lock(cache_mutex);
    sessions[key] = fresh;
    *session = fresh;
    return r;
}

onvif_result_t onvif_stream_url(const std::shared_ptr<onvif_session_t>& session, int32_t channel,
                                bool sub_stream, uint32_t wait_ms, std::string* url,
                                std::string* reason)
{
    const auto key = std::make_pair(channel, sub_stream);
    {
        std::lock_guard<std::mutex> lock(cache_mutex);
        const auto kept = session->streams.find(key);
        if (kept != session->streams.end()) {
            *url = kept->second;
            return onvif_result_t::found;
        }
    }
    const int32_t index = onvif_pick_profile(session->profiles, channel, sub_stream);
    if (index < 0) {
        *reason = "the camera has no video profile for channel " + std::to_string(channel);
        return onvif_result_t::no_answer;
    }
    const onvif_profile_t& profile = session->profiles[size_t(index)];
    onvif_answer_t answer;
    const onvif_result_t r =
        ask(*session, session->media_url, onvif_stream_question(session->media2, profile.token),
            true, steady::now() + std::chrono::milliseconds(wait_ms), &answer, reason);
    if (r != onvif_result_t::found)
        return r;
    *url = onvif_reachable_url(answer.stream_uri, "rtsp", session->host);
    if (url->empty()) {
        *reason = "unusable stream address";
        return onvif_result_t::no_answer;
    }
    log_print("%s camera: ONVIF stream of %s: %s (%s %dx%d)\n", utc_timestamp().c_str(),
              session->host.c_str(), url_for_log(*url).c_str(), profile.encoding.c_str(),
              profile.width, profile.height);
    std::lock_guard<std::mutex> lock(cache_mutex);
    session->streams[key] = *url;
    return r;
}

void onvif_forget(const std::shared_ptr<onvif_session_t>& session)
{
    std::lock_guard<std::mutex> lock(cache_mutex);
    for (auto it = sessions.begin(); it != sessions.end(); ++it) {
        if (it->second == session) {
            sessions.erase(it);
            break;
        }
    }
    session->streams.clear();
}

void onvif_forget_all()
{
    std::lock_guard<std::mutex> lock(cache_mutex);
    sessions.clear();
}
