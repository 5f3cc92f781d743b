// Internal to the camera SDK layer: asks a camera at a plain host over ONVIF
// where its stream is. A login opens a session (the camera's clock, its
// media service, its profiles); a preview asks the session for the stream
// of its channel. Sessions and found stream addresses are kept between
// logins with the same host, port and credentials, until a stream
// connection fails. Every question is bounded by the connect time; called
// on the thread that logs in and starts previews.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct onvif_session_t;

enum class onvif_result_t {
    found,      // the camera answered with what was asked
    refused,    // the camera refused the credentials
    no_answer,  // no ONVIF answer (nothing listens, silence, garbage, nothing usable)
};

// The session of a plain host: a kept one, or asked anew at port and then
// at port 80, within wait_ms in all. *reason says why when not found.
onvif_result_t onvif_login(const std::string& host, uint16_t port, const std::string& user,
                           const std::string& password, uint32_t wait_ms,
                           std::shared_ptr<onvif_session_t>* session, std::string* reason);

// The stream URL (without credentials, host replaced by the configured one)
// of a channel's main or sub stream: a kept one, or asked within wait_ms and
// logged once.
onvif_result_t onvif_stream_url(const std::shared_ptr<onvif_session_t>& session, int32_t channel,
                                bool sub_stream, uint32_t wait_ms, std::string* url,
                                std::string* reason);

// A stream connection of this session failed: the next login asks again.
void onvif_forget(const std::shared_ptr<onvif_session_t>& session);
// Drops every kept session (the layer's clean-up).
void onvif_forget_all();
