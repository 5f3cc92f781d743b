// ONVIF SOAP text and the answer parser. The parser walks the document once
// with QXmlStreamReader and keeps the local names of the open elements, so
// that any namespace prefix a camera chooses is understood; what matters is
// where an element sits (its last few ancestors).
#include "camera/onvif_soap.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <QXmlStreamReader>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "camera/camera_address.h"
#include "http/http_text.h"

const char* const onvif_media1_namespace = "http://www.onvif.org/ver10/media/wsdl";
const char* const onvif_media2_namespace = "http://www.onvif.org/ver20/media/wsdl";

namespace {

// Limits of an answer: a large recorder lists a few hundred profiles of a
// few dozen elements each; nothing of ours is deeper than a dozen levels.
constexpr size_t max_depth = 48;
constexpr size_t max_text = 2048;
constexpr size_t max_profiles = 512;
constexpr size_t max_services = 64;

// The open elements' local names and the state of the walk.
struct walk_t {
    std::vector<std::string> path;  // local names from the root down
    std::string text;               // character data of the innermost element
    size_t profile_depth = 0;       // path size of the open Profiles element, 0: none
    onvif_profile_t profile;        // the profile being read
    onvif_service_t service;        // the service being read
    int32_t date[6] = {-1, -1, -1, -1, -1, -1};  // year, month, day, hour, minute, second
    bool root_seen = false;         // the Envelope element began
};

bool ends_with(const std::vector<std::string>& path, std::initializer_list<const char*> tail)
{
    if (path.size() < tail.size())
        return false;
    auto at = path.end() - ptrdiff_t(tail.size());
    for (const char* name : tail)
        if (*at++ != name)
            return false;
    return true;
}

int32_t small_number(const std::string& text)
{
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return int32_t(std::stol(text));
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void finish_time(const int32_t* v, onvif_answer_t* answer)
{
    const bool valid = v[0] >= 1970 && v[0] <= 9999 && v[1] >= 1 && v[1] <= 12 && v[2] >= 1 &&
                       v[2] <= 31 && v[3] >= 0 && v[3] <= 23 && v[4] >= 0 && v[4] <= 59 &&
                       v[5] >= 0 && v[5] <= 60;
    if (!valid)
        return;
    answer->has_time = true;
    answer->utc_seconds = days_from_civil(v[0], v[1], v[2]) * 86400 + v[3] * 3600 + v[4] * 60 + v[5];
}

// An element of the UTC date and time ended.
void end_time_part(walk_t& w)
{
    static const char* const date_parts[] = {"Year", "Month", "Day"};
    static const char* const time_parts[] = {"Hour", "Minute", "Second"};
    for (int i = 0; i < 3; ++i) {
        if (ends_with(w.path, {"UTCDateTime", "Date", date_parts[i]}))
            w.date[i] = small_number(w.text);
        if (ends_with(w.path, {"UTCDateTime", "Time", time_parts[i]}))
            w.date[3 + i] = small_number(w.text);
    }
}

// An element inside a profile ended.
void end_profile_part(walk_t& w)
{
    onvif_profile_t& p = w.profile;
    const bool in_encoder = std::any_of(w.path.begin() + ptrdiff_t(w.profile_depth), w.path.end(),
                                        [](const std::string& name) {
                                            return name == "VideoEncoderConfiguration" ||
                                                   name == "VideoEncoder";
                                        });
    if (p.source.empty() && (ends_with(w.path, {"VideoSourceConfiguration", "SourceToken"}) ||
                             ends_with(w.path, {"VideoSource", "SourceToken"})))
        p.source = w.text;
    if (!in_encoder)
        return;
    if (p.encoding.empty() && (ends_with(w.path, {"VideoEncoderConfiguration", "Encoding"}) ||
                               ends_with(w.path, {"VideoEncoder", "Encoding"})))
        p.encoding = w.text;
    if (ends_with(w.path, {"Resolution", "Width"}) && p.width == 0)
        p.width = std::max(small_number(w.text), 0);
    if (ends_with(w.path, {"Resolution", "Height"}) && p.height == 0)
        p.height = std::max(small_number(w.text), 0);
}

bool is_auth_fault_code(const std::string& code)
{
    // "ter:NotAuthorized" (ONVIF), "wsse:FailedAuthentication" (WS-Security).
    for (const char* name : {"NotAuthorized", "FailedAuthentication", "InvalidSecurityToken"})
        if (code.find(name) != std::string::npos)
            return true;
    return false;
}

void end_fault_part(walk_t& w, onvif_answer_t* answer)
{
    if (ends_with(w.path, {"Code", "Value"}) || ends_with(w.path, {"Subcode", "Value"}) ||
        ends_with(w.path, {"faultcode"}))
        answer->not_authorized = answer->not_authorized || is_auth_fault_code(w.text);
    if (answer->fault_text.empty() &&
        (ends_with(w.path, {"Reason", "Text"}) || ends_with(w.path, {"faultstring"})))
        answer->fault_text = w.text;
}

bool start_element(walk_t& w, const QXmlStreamReader& reader, onvif_answer_t* answer)
{
    if (w.path.size() >= max_depth)
        return false;
    w.path.push_back(reader.name().toString().toStdString());
    w.text.clear();
    const std::string& name = w.path.back();
    if (w.path.size() == 1)
        return !std::exchange(w.root_seen, true) && name == "Envelope";
    if (name == "Fault")
        answer->fault = true;
    if (name == "Service")
        w.service = {};
    if (name == "Profiles" && w.profile_depth == 0) {
        w.profile_depth = w.path.size();
        w.profile = {};
        w.profile.token = reader.attributes().value("token").toString().toStdString();
    }
    if (w.profile_depth && (name == "VideoEncoderConfiguration" || name == "VideoEncoder"))
        w.profile.video = true;
    return true;
}

bool end_element(walk_t& w, onvif_answer_t* answer)
{
    const std::string& name = w.path.back();
    end_time_part(w);
    if (ends_with(w.path, {"Service", "Namespace"}))
        w.service.name_space = w.text;
    if (ends_with(w.path, {"Service", "XAddr"}))
        w.service.address = w.text;
    if (name == "Service" && !w.service.address.empty()) {
        if (answer->services.size() >= max_services)
            return false;
        answer->services.push_back(w.service);
    }
    if (ends_with(w.path, {"Capabilities", "Media", "XAddr"}))
        answer->capabilities_media = w.text;
    if (ends_with(w.path, {"MediaUri", "Uri"}) || ends_with(w.path, {"GetStreamUriResponse", "Uri"}))
        answer->stream_uri = w.text;
    if (answer->fault)
        end_fault_part(w, answer);
    if (w.profile_depth)
        end_profile_part(w);
    if (w.profile_depth == w.path.size()) {
        if (answer->profiles.size() >= max_profiles)
            return false;
        answer->profiles.push_back(w.profile);
        w.profile_depth = 0;
    }
    w.path.pop_back();
    w.text.clear();
    return true;
}

std::string trimmed(const QStringView text)
{
    return text.trimmed().toString().toStdString();
}

// Profile tokens come from the camera: escaped before they go back into XML.
std::string xml_text(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size())).toHtmlEscaped().toStdString();
}

}  // namespace

bool onvif_parse_answer(std::string_view xml, onvif_answer_t* answer)
{
    *answer = onvif_answer_t{};
    QXmlStreamReader reader(QByteArray::fromRawData(xml.data(), qsizetype(xml.size())));
    reader.setEntityExpansionLimit(0);
    walk_t w;
    bool ok = true;
    while (ok && !reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            ok = false;
            break;
        case QXmlStreamReader::StartElement:
            ok = start_element(w, reader, answer);
            break;
        case QXmlStreamReader::EndElement:
            ok = end_element(w, answer);
            break;
        case QXmlStreamReader::Characters:
            if (w.text.size() + size_t(reader.text().size()) > max_text)
                ok = false;
            else
                w.text += trimmed(reader.text());
            break;
        default:
            break;
        }
    }
    if (!ok || reader.hasError() || w.path.size() != 0 || !w.root_seen) {
        *answer = onvif_answer_t{};
        return false;
    }
    finish_time(w.date, answer);
    return true;
}

std::string onvif_password_digest(std::string_view nonce, std::string_view created,
                                  std::string_view password)
{
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    sha1.addData(QByteArrayView(nonce.data(), qsizetype(nonce.size())));
    sha1.addData(QByteArrayView(created.data(), qsizetype(created.size())));
    sha1.addData(QByteArrayView(password.data(), qsizetype(password.size())));
    const QByteArray digest = sha1.result();
    return base64_encode(digest.constData(), size_t(digest.size()));
}

std::string onvif_time_text(int64_t utc_seconds)
{
    // civil_from_days, the inverse of days_from_civil.
    const int64_t days = utc_seconds >= 0 ? utc_seconds / 86400 : (utc_seconds - 86399) / 86400;
    const int64_t seconds = utc_seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", (long long)year,
                  (long long)month, (long long)day, (long long)(seconds / 3600),
                  (long long)(seconds / 60 % 60), (long long)(seconds % 60));
    return text;
}

std::string onvif_envelope(std::string_view body, const onvif_token_t* token)
{
    std::string header;
    if (token) {
        header =
            "<s:Header><wsse:Security s:mustUnderstand=\"1\" "
            "xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/"
            "oasis-200401-wss-wssecurity-secext-1.0.xsd\" "
            "xmlns:wsu=\"http://docs.oasis-open.org/wss/2004/01/"
            "oasis-200401-wss-wssecurity-utility-1.0.xsd\"><wsse:UsernameToken><wsse:Username>" +
            xml_text(token->user) +
            "</wsse:Username><wsse:Password Type=\"http://docs.oasis-open.org/wss/2004/01/"
            "oasis-200401-wss-username-token-profile-1.0#PasswordDigest\">" +
            onvif_password_digest(token->nonce, token->created, token->password) +
            "</wsse:Password><wsse:Nonce EncodingType=\"http://docs.oasis-open.org/wss/2004/01/"
            "oasis-200401-wss-soap-message-security-1.0#Base64Binary\">" +
            base64_encode(token->nonce.data(), token->nonce.size()) +
            "</wsse:Nonce><wsu:Created>" + token->created +
            "</wsu:Created></wsse:UsernameToken></wsse:Security></s:Header>";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\" "
           "xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\" "
           "xmlns:tr2=\"http://www.onvif.org/ver20/media/wsdl\" "
           "xmlns:tt=\"http://www.onvif.org/ver10/schema\">" +
           header + "<s:Body>" + std::string(body) + "</s:Body></s:Envelope>";
}

std::string onvif_time_question() { return "<tds:GetSystemDateAndTime/>"; }

std::string onvif_services_question()
{
    return "<tds:GetServices><tds:IncludeCapability>false</tds:IncludeCapability></tds:GetServices>";
}

std::string onvif_capabilities_question()
{
    return "<tds:GetCapabilities><tds:Category>Media</tds:Category></tds:GetCapabilities>";
}

std::string onvif_profiles_question(bool media2)
{
    return media2 ? "<tr2:GetProfiles><tr2:Type>All</tr2:Type></tr2:GetProfiles>"
                  : "<trt:GetProfiles/>";
}

std::string onvif_stream_question(bool media2, std::string_view profile_token)
{
    const std::string token = xml_text(profile_token);
    if (media2)
        return "<tr2:GetStreamUri><tr2:Protocol>RTSP</tr2:Protocol><tr2:ProfileToken>" + token +
               "</tr2:ProfileToken></tr2:GetStreamUri>";
    return "<trt:GetStreamUri><trt:StreamSetup><tt:Stream>RTP-Unicast</tt:Stream><tt:Transport>"
           "<tt:Protocol>RTSP</tt:Protocol></tt:Transport></trt:StreamSetup><trt:ProfileToken>" +
           token + "</trt:ProfileToken></trt:GetStreamUri>";
}

int32_t onvif_pick_profile(const std::vector<onvif_profile_t>& profiles, int32_t channel,
                           bool sub_stream)
{
    // The video sources in the order of their first profile.
    std::vector<std::string> sources;
    for (const onvif_profile_t& p : profiles)
        if (p.video && std::find(sources.begin(), sources.end(), p.source) == sources.end())
            sources.push_back(p.source);
    const int32_t index = std::max(channel, 1) - 1;
    if (index >= int32_t(sources.size()))
        return -1;
    std::vector<int32_t> candidates;
    for (size_t i = 0; i < profiles.size(); ++i)
        if (profiles[i].video && profiles[i].source == sources[size_t(index)])
            candidates.push_back(int32_t(i));
    // Stable: profiles without a resolution, or of equal ones, keep their order.
    std::stable_sort(candidates.begin(), candidates.end(), [&](int32_t a, int32_t b) {
        const auto area = [&](int32_t i) {
            return int64_t(profiles[size_t(i)].width) * profiles[size_t(i)].height;
        };
        return area(a) > area(b);
    });
    return candidates[sub_stream && candidates.size() > 1 ? 1 : 0];
}

std::string onvif_reachable_url(const std::string& url, const std::string& scheme,
                                const std::string& host)
{
    size_t begin = 0, end = 0;
    if (!url_authority(url, &begin, &end) || begin != scheme.size() + 3)
        return {};
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i])
            return {};
    // [user:password@]host[:port], the host possibly a bracketed IPv6 address.
    const size_t at = url.rfind('@', end - 1);
    const size_t host_begin = (at == std::string::npos || at < begin) ? begin : at + 1;
    size_t port_begin = end;
    const size_t bracket = url[host_begin] == '[' ? url.find(']', host_begin) : host_begin;
    if (bracket >= end)
        return {};
    const size_t colon = url.find(':', bracket);
    if (colon < end)
        port_begin = colon;
    const std::string port = url.substr(port_begin, end - port_begin);
    if (port.size() > 1 &&
        !std::all_of(port.begin() + 1, port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    return url.substr(0, host_begin) + url_host(host) + port + url.substr(end);
}
