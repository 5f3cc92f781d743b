// libFuzzer target: what a camera answers to the ONVIF questions. The bytes
// go through the HTTP response parser (cut at every length the first byte
// picks, as reads split them) and, as a body, through the SOAP answer
// parser; what it finds goes through the profile choice and the address
// rule. The sanitizers are the check, plus the bounds checked here.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <strings.h>

#include "camera/onvif_soap.h"
#include "http/http_client.h"

namespace {

void check_answer(const std::string& body)
{
    onvif_answer_t answer;
    if (!onvif_parse_answer(body, &answer))
        return;
    for (int32_t channel = 0; channel <= 3; ++channel) {
        for (bool sub : {false, true}) {
            const int32_t i = onvif_pick_profile(answer.profiles, channel, sub);
            if (i >= int32_t(answer.profiles.size()) || (i >= 0 && !answer.profiles[size_t(i)].video))
                std::abort();
        }
    }
    for (const char* host : {"127.0.0.1", "::1"}) {
        const std::string url = onvif_reachable_url(answer.stream_uri, "rtsp", host);
        // What the rule accepts names the configured host under the scheme asked for.
        if (!url.empty() && (strncasecmp(url.c_str(), "rtsp://", 7) != 0 ||
                             url.find(host) == std::string::npos))
            std::abort();
        for (const onvif_service_t& s : answer.services)
            onvif_reachable_url(s.address, "http", host);
        onvif_reachable_url(answer.capabilities_media, "http", host);
    }
    if (answer.has_time)
        onvif_time_text(answer.utc_seconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t cut = text.empty() ? 0 : data[0] % (text.size() + 1);
    http_response_t response;
    parse_http_response(text.data(), text.data() + cut, false, 1 << 16, &response);
    if (parse_http_response(text.data(), text.data() + text.size(), true, 1 << 16, &response) ==
        http_parse_result_t::complete) {
        if (response.body.size() > (1 << 16))
            std::abort();
        check_answer(response.body);
    }
    // The bytes as a body by themselves, for inputs without an HTTP head.
    check_answer(text);
    return 0;
}
