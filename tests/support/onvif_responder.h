// A strict ONVIF camera on loopback for the camera tests and the benchmark:
// it answers the device and media questions from its own thread, checks
// every WS-Security password digest against its own clock (which may run
// off the real one) and refuses digests outside its window with a SOAP
// fault and HTTP 400 or 401, as cameras do. The stream addresses it hands
// out point at an RTSP server the caller names. It reads what it is sent
// with its own XML reader, never with the program's.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct onvif_responder_options_t {
    std::string user = "admin";
    std::string password = "secret";
    int64_t clock_offset_s = 0;       // its clock minus the real one
    int64_t window_s = 30;            // digests created further from its clock are refused
    std::string reported_host = "127.0.0.1";  // the host in the addresses it reports
    int32_t rtsp_port = 0;            // the RTSP server of its streams
    std::string main_path = "/ch1/main";  // the two profiles' stream paths
    std::string sub_path = "/ch1/sub";
    bool sub_listed_first = false;    // GetProfiles lists the smaller profile first
    bool media1 = true;               // offers the first media service
    bool media2 = false;              // offers the second media service (H.265 profiles)
    std::string encoding = "H264";    // of both profiles
    bool has_get_services = true;     // false: an older camera, GetCapabilities only
    bool secure_profiles_only = false;  // only GetProfiles wants the digest
    int32_t refusal_status = 400;     // HTTP status of a refused digest
    bool chunked = false;             // answers in chunked transfer coding
    enum { answer, garbage, silent } behaviour = answer;  // silent: reads and never answers
};

class onvif_responder_obj {
public:
    ~onvif_responder_obj() { stop(); }
    // Listens on 127.0.0.1 at a free port; false when that fails.
    bool start(const onvif_responder_options_t& options);
    void stop();
    int port() const { return port_; }

    // The questions asked so far by their operation names, "refused:" in
    // front of those whose digest was refused.
    std::vector<std::string> asked();

private:
    void run();
    void serve(int fd);
    // The SOAP answer to a question to the service at path.
    std::string respond(const std::string& path, const std::string& xml, int32_t* status);
    bool media_path_offered(const std::string& path) const;

    onvif_responder_options_t options_;
    int listen_fd_ = -1;      // the listening socket
    int wake_fd_[2] = {-1, -1};  // a pipe that wakes the thread to stop
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;        // guards asked_
    std::vector<std::string> asked_;
};
