// The ONVIF questions as SOAP text and the parser of a camera's answers:
// envelopes with a WS-Security UsernameToken (password digest), the bodies
// of the few questions the camera layer asks, one parser for every answer,
// the choice of a profile for a channel and stream, and the address rule
// for what a camera reports. Pure functions, callable from any thread; the
// answers are untrusted input (the fuzz target drives the parser).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One media profile as GetProfiles lists it.
struct onvif_profile_t {
    std::string token;     // asked for in GetStreamUri
    std::string source;    // the video source it encodes: profiles of one source are one channel
    std::string encoding;  // "H264", "H265", "JPEG", ... as the camera spells it
    int32_t width = 0;     // the encoder's resolution, 0 when not given
    int32_t height = 0;
    bool video = false;    // it has a video encoder (others carry audio or metadata only)
};

// A service of GetServices.
struct onvif_service_t {
    std::string name_space;  // which service, e.g. the media service's namespace
    std::string address;     // its XAddr
};

// Everything the parser understood in one answer.
struct onvif_answer_t {
    bool fault = false;             // a SOAP fault
    bool not_authorized = false;    // the fault says the credentials were refused
    std::string fault_text;         // its reason text, for the log
    bool has_time = false;          // GetSystemDateAndTime gave the UTC date and time
    int64_t utc_seconds = 0;        // the camera's clock, seconds since 1970 (UTC)
    std::vector<onvif_service_t> services;  // GetServices
    std::string capabilities_media;  // GetCapabilities: the media service's XAddr
    std::vector<onvif_profile_t> profiles;  // GetProfiles, in the camera's order
    std::string stream_uri;         // GetStreamUri
};

// Parses a SOAP envelope; false when it is not well-formed XML, not an
// envelope, carries a DTD or goes beyond the parser's limits.
bool onvif_parse_answer(std::string_view xml, onvif_answer_t* answer);

// The media services' namespaces in GetServices.
extern const char* const onvif_media1_namespace;
extern const char* const onvif_media2_namespace;

// The credentials of a UsernameToken; created is the camera's time.
struct onvif_token_t {
    std::string user;
    std::string password;
    std::string nonce;    // raw random bytes
    std::string created;  // "2026-01-31T12:00:00Z"
};

// Base64(SHA-1(nonce + created + password)).
std::string onvif_password_digest(std::string_view nonce, std::string_view created,
                                  std::string_view password);
// The xsd:dateTime of a UTC time in seconds since 1970.
std::string onvif_time_text(int64_t utc_seconds);
// The SOAP 1.2 envelope around body; a security header when token is given.
std::string onvif_envelope(std::string_view body, const onvif_token_t* token);

// The bodies of the questions.
std::string onvif_time_question();
std::string onvif_services_question();
std::string onvif_capabilities_question();
std::string onvif_profiles_question(bool media2);
// RTP over RTSP, unicast, for the profile with this token.
std::string onvif_stream_question(bool media2, std::string_view profile_token);

// The profile for a channel (1 = the first video source the camera lists)
// and stream: a channel's video profiles in the camera's order, the larger
// resolution first when the camera lists a smaller one first; the first is
// the main stream, the second the sub stream (the main one when there is
// no second). -1 when the channel has no video profile.
int32_t onvif_pick_profile(const std::vector<onvif_profile_t>& profiles, int32_t channel,
                           bool sub_stream);

// A URL the camera reported, with its host replaced by the host the person
// configured (a camera behind NAT reports an address nobody can reach), the
// port kept. Empty when the URL's scheme is not the expected one (a camera
// must not point the layer at a local file or another protocol).
std::string onvif_reachable_url(const std::string& url, const std::string& scheme,
                                const std::string& host);
