// The camera SDK layer's entry points: the handle tables of logins and
// previews. Called on the GUI thread (login, preview start and stop) and at
// shutdown; the previews' receive threads never call in here. The tables
// own the previews; a preview is stopped outside the table lock, so that its
// last callback can never wait on a caller that waits on the lock.
#include "camera/sdk.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "camera/camera_address.h"
#include "camera/onvif_client.h"
#include "camera/recording_tap.h"
#include "camera/sdk_preview.h"
#include "player/ff_log.h"
#include "settings/log.h"

namespace {

// What a login remembers: where the camera is and who logged in.
struct login_t {
    std::string address;   // host or whole stream URL
    uint16_t port = 0;     // with a host address: ONVIF's port, or RTSP's by the address rule
    std::string user;
    std::string password;
    std::shared_ptr<onvif_session_t> onvif;  // what ONVIF told of a plain host, or null
};

// A running preview and the login it belongs to.
struct preview_entry_t {
    int32_t login = -1;                   // owning login handle
    std::shared_ptr<preview_obj> preview; // the receive thread's owner
    std::shared_ptr<packet_fanout_obj> packets;  // its packets, there from the first connection on
};

std::mutex tables_mutex;                        // guards everything below
bool initialised = false;                       // between sdk_init and sdk_cleanup
int32_t next_handle = 0;                        // logins and previews share the numbers
std::map<int32_t, login_t> logins;              // open logins by handle
std::map<int32_t, preview_entry_t> previews;    // running previews by handle

// The next unused handle; caller holds tables_mutex.
int32_t take_handle()
{
    do {
        next_handle = next_handle == INT32_MAX ? 0 : next_handle + 1;
    } while (logins.count(next_handle) || previews.count(next_handle));
    return next_handle;
}

void stop_all(std::vector<std::shared_ptr<preview_obj>>& stopping)
{
    for (auto& p : stopping)
        if (p) {  // a reservation whose first connection is still being made
            p->stop();
            stop_saving(p);  // a recording ends with its preview
        }
    stopping.clear();
}

// The synthetic camera checks the credentials its address names.
bool login_test_camera(const login_t& login)
{
    test_camera_shape_t shape;
    if (!parse_test_address(login.address, &shape)) {
        log_print("%s camera: invalid test camera address %s\n", utc_timestamp().c_str(),
                  url_for_log(login.address).c_str());
        return false;
    }
    if (shape.has_credentials && (shape.user != login.user || shape.password != login.password)) {
        log_print("%s camera: login refused by %s\n", utc_timestamp().c_str(),
                  url_for_log(login.address).c_str());
        return false;
    }
    return true;
}

// The address rule stands; url is what it gives.
void log_no_onvif_answer(const login_t& login, const std::string& reason, const std::string& url)
{
    log_print("%s camera: no ONVIF answer from %s (%s), using %s\n", utc_timestamp().c_str(),
              login.address.c_str(), reason.c_str(), url.c_str());
}

void log_onvif_refused(const login_t& login, const std::string& reason)
{
    log_print("%s camera: ONVIF login to %s refused: %s\n", utc_timestamp().c_str(),
              login.address.c_str(), reason.c_str());
}

// A plain host is asked over ONVIF first; its answer to an authenticated
// question checks the credentials. True when ONVIF found the camera;
// *refused when it refused the credentials.
bool login_onvif(login_t& login, bool* refused)
{
    std::string reason;
    const onvif_result_t r = onvif_login(login.address, login.port, login.user, login.password,
                                         sdk_connect_limits().wait_ms, &login.onvif, &reason);
    *refused = r == onvif_result_t::refused;
    if (*refused)
        log_onvif_refused(login, reason);
    else if (r == onvif_result_t::no_answer)
        log_no_onvif_answer(login, reason, camera_stream_url(login.address, login.port, 1, false));
    return r == onvif_result_t::found;
}

// A plain host: ONVIF, and without an ONVIF answer the address rule. Else
// sets up (but never plays) a session on the main stream of channel 1, or
// on the whole URL given: the camera checks the credentials. A camera that
// answers but has no such stream cannot tell us more; the preview will.
bool login_camera(login_t& login)
{
    if (is_test_address(login.address))
        return login_test_camera(login);
    bool refused = false;
    if (!is_stream_url(login.address) && (login_onvif(login, &refused) || refused))
        return !refused;
    const std::string url = url_with_credentials(
        camera_stream_url(login.address, login.port, 1, false), login.user, login.password);
    stop_signal_t never_stopped;
    std::unique_ptr<stream_source_obj> session;
    std::string reason;
    const open_result_t r = open_stream_source(url, "tcp", &never_stopped, true,
                                               sdk_connect_limits(), &session, &reason);
    if (r == open_result_t::ok || r == open_result_t::not_found)
        return true;
    log_print("%s camera: login to %s failed: %s\n", utc_timestamp().c_str(),
              url_for_log(url).c_str(), reason.c_str());
    return false;
}

// Where a preview connects: the stream ONVIF names for the channel, else the
// address rule. False when the camera refused the credentials.
bool preview_target_of(const login_t& login, const preview_request_t& request,
                       preview_target_t* target)
{
    const bool sub_stream = link_mode_sub_stream(request.link_mode);
    const std::string rule_url =
        camera_stream_url(login.address, login.port, request.channel, sub_stream);
    std::string url;
    if (login.onvif) {
        std::string reason;
        const onvif_result_t r = onvif_stream_url(login.onvif, request.channel, sub_stream,
                                                  sdk_connect_limits().wait_ms, &url, &reason);
        if (r == onvif_result_t::refused) {
            log_onvif_refused(login, reason);
            return false;
        }
        if (r == onvif_result_t::no_answer)
            log_no_onvif_answer(login, reason, rule_url);
    }
    if (url.empty())
        url = rule_url;
    target->url = is_test_address(url) ? url : url_with_credentials(url, login.user, login.password);
    target->transport = link_mode_transport(request.link_mode);
    return true;
}

}  // namespace

bool sdk_init()
{
    ff_log_install();
    avformat_network_init();
    std::lock_guard<std::mutex> lock(tables_mutex);
    initialised = true;
    return true;
}

void sdk_cleanup()
{
    std::vector<std::shared_ptr<preview_obj>> stopping;
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        if (!initialised)
            return;
        for (auto& [handle, entry] : previews)
            stopping.push_back(entry.preview);
        previews.clear();
        logins.clear();
        initialised = false;
    }
    stop_all(stopping);
    onvif_forget_all();
    avformat_network_deinit();
}

bool sdk_set_connect_time(uint32_t wait_ms, uint32_t try_times)
{
    sdk_store_connect_limits(wait_ms, try_times);
    return true;
}

bool sdk_set_reconnect(uint32_t interval_ms, int32_t enable)
{
    sdk_store_reconnect(interval_ms, enable != 0);
    return true;
}

int32_t sdk_login(const char* address, uint16_t port, const char* user, const char* password,
                  void*)
{
    if (!address || !*address)
        return -1;
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        if (!initialised)
            return -1;
    }
    login_t login{address, port, user ? user : "", password ? password : "", nullptr};
    if (!login_camera(login))
        return -1;
    std::lock_guard<std::mutex> lock(tables_mutex);
    if (!initialised)
        return -1;
    const int32_t handle = take_handle();
    logins[handle] = std::move(login);
    return handle;
}

bool sdk_logout(int32_t login_handle)
{
    std::vector<std::shared_ptr<preview_obj>> stopping;
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        if (!logins.erase(login_handle))
            return false;
        // Previews of a login end with it.
        for (auto it = previews.begin(); it != previews.end();) {
            if (it->second.login == login_handle) {
                stopping.push_back(it->second.preview);
                it = previews.erase(it);
            } else {
                ++it;
            }
        }
    }
    stop_all(stopping);
    return true;
}

int32_t sdk_start_preview(int32_t login_handle, const preview_request_t* request,
                          stream_data_callback_t callback, void* user, int32_t)
{
    if (!request)
        return -1;
    login_t login;
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        auto found = logins.find(login_handle);
        if (found == logins.end())
            return -1;
        login = found->second;
    }
    // Asking the camera may take the connect time: not under the table lock.
    preview_target_t target;
    if (!preview_target_of(login, *request, &target))
        return -1;
    std::shared_ptr<preview_obj> preview;
    int32_t handle = -1;
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        if (!logins.count(login_handle))
            return -1;
        handle = take_handle();
        // Reserve the number while the first connection is made.
        preview = std::make_shared<preview_obj>(handle, std::move(target), callback, user);
        previews[handle] = {login_handle, nullptr, preview->packets()};
    }
    const bool started = preview->start();
    // What ONVIF named is asked again at the next attempt.
    if (!started && login.onvif)
        onvif_forget(login.onvif);

    std::lock_guard<std::mutex> lock(tables_mutex);
    auto entry = previews.find(handle);
    // A logout or clean-up meanwhile took the reservation away.
    if (!started || entry == previews.end()) {
        if (entry != previews.end())
            previews.erase(entry);
        return -1;
    }
    entry->second.preview = preview;
    return handle;
}

bool sdk_stop_preview(int32_t preview_handle)
{
    std::shared_ptr<preview_obj> preview;
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        auto entry = previews.find(preview_handle);
        if (entry == previews.end() || !entry->second.preview)
            return false;
        // A callback cannot wait for its own thread to end.
        if (entry->second.preview->on_receive_thread())
            return false;
        preview = entry->second.preview;
        previews.erase(entry);
    }
    preview->stop();
    stop_saving(preview);
    return true;
}

std::shared_ptr<packet_fanout_obj> sdk_preview_packets(int32_t preview_handle)
{
    std::lock_guard<std::mutex> lock(tables_mutex);
    auto entry = previews.find(preview_handle);
    return entry == previews.end() ? nullptr : entry->second.packets;
}

// Recording: the preview's recording tap (camera/recording_tap.h) feeds a
// recorder; the table lock is not held while a file is opened or finished.
static std::shared_ptr<preview_obj> running_preview(int32_t preview_handle)
{
    std::lock_guard<std::mutex> lock(tables_mutex);
    auto entry = previews.find(preview_handle);
    return entry == previews.end() ? nullptr : entry->second.preview;
}

bool sdk_start_save(int32_t preview_handle, const char* path)
{
    const std::shared_ptr<preview_obj> preview = running_preview(preview_handle);
    return preview && path && *path && start_saving(preview, path);
}

bool sdk_stop_save(int32_t preview_handle)
{
    const std::shared_ptr<preview_obj> preview = running_preview(preview_handle);
    return preview && stop_saving(preview);
}

// Camera photos: sdk_capture_jpeg is in camera/sdk_capture.cpp.
