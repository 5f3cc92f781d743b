// The loopback ONVIF camera: one thread, one question per connection.
#include "tests/support/onvif_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QXmlStreamReader>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// What the responder reads from a question.
struct question_t {
    std::string operation;  // the first element inside Body
    std::string user, password, nonce, created;  // the UsernameToken, if any
    std::string profile_token;
};

bool parse_question(const std::string& xml, question_t* q)
{
    QXmlStreamReader reader(QByteArray::fromStdString(xml));
    std::vector<std::string> path;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            path.push_back(reader.name().toString().toStdString());
            if (path.size() == 3 && path[1] == "Body")
                q->operation = path.back();
        } else if (reader.isEndElement()) {
            path.pop_back();
        } else if (reader.isCharacters() && !path.empty()) {
            const std::string text = reader.text().toString().toStdString();
            const std::string& name = path.back();
            if (name == "Username")
                q->user += text;
            else if (name == "Password")
                q->password += text;
            else if (name == "Nonce")
                q->nonce += text;
            else if (name == "Created")
                q->created += text;
            else if (name == "ProfileToken")
                q->profile_token += text;
        }
    }
    return !reader.hasError() && !q->operation.empty();
}

const char* envelope_head =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:tt=\"http://www.onvif.org/ver10/schema\" "
    "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\" "
    "xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\" "
    "xmlns:tr2=\"http://www.onvif.org/ver20/media/wsdl\" "
    "xmlns:ter=\"http://www.onvif.org/ver10/error\"><env:Body>";
const char* envelope_tail = "</env:Body></env:Envelope>";

std::string fault(const std::string& subcode, const std::string& text)
{
    return "<env:Fault><env:Code><env:Value>env:Sender</env:Value><env:Subcode><env:Value>" +
           subcode + "</env:Value></env:Subcode></env:Code><env:Reason><env:Text xml:lang=\"en\">" +
           text + "</env:Text></env:Reason></env:Fault>";
}

std::string time_answer(int64_t utc)
{
    const QDateTime t = QDateTime::fromSecsSinceEpoch(utc, Qt::UTC);
    const auto n = [](int v) { return std::to_string(v); };
    return "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:DateTimeType>NTP"
           "</tt:DateTimeType><tt:DaylightSavings>false</tt:DaylightSavings><tt:TimeZone><tt:TZ>"
           "CST-8</tt:TZ></tt:TimeZone><tt:UTCDateTime><tt:Time><tt:Hour>" +
           n(t.time().hour()) + "</tt:Hour><tt:Minute>" + n(t.time().minute()) +
           "</tt:Minute><tt:Second>" + n(t.time().second()) +
           "</tt:Second></tt:Time><tt:Date><tt:Year>" + n(t.date().year()) +
           "</tt:Year><tt:Month>" + n(t.date().month()) + "</tt:Month><tt:Day>" +
           n(t.date().day()) +
           "</tt:Day></tt:Date></tt:UTCDateTime></tds:SystemDateAndTime>"
           "</tds:GetSystemDateAndTimeResponse>";
}

std::string service(const std::string& name_space, const std::string& address)
{
    return "<tds:Service><tds:Namespace>" + name_space + "</tds:Namespace><tds:XAddr>" + address +
           "</tds:XAddr><tds:Version><tt:Major>2</tt:Major><tt:Minor>60</tt:Minor></tds:Version>"
           "</tds:Service>";
}

std::string profile(bool media2, const std::string& token, const std::string& encoding, int w,
                    int h)
{
    const std::string size = "<tt:Resolution><tt:Width>" + std::to_string(w) +
                             "</tt:Width><tt:Height>" + std::to_string(h) +
                             "</tt:Height></tt:Resolution>";
    if (media2)
        return "<tr2:Profiles token=\"" + token + "\" fixed=\"true\"><tr2:Name>" + token +
               "</tr2:Name><tr2:Configurations><tr2:VideoSource token=\"vsc\"><tt:Name>vsc"
               "</tt:Name><tt:UseCount>2</tt:UseCount><tt:SourceToken>VideoSource_1"
               "</tt:SourceToken><tt:Bounds x=\"0\" y=\"0\" width=\"1920\" height=\"1080\"/>"
               "</tr2:VideoSource><tr2:VideoEncoder token=\"enc_" + token +
               "\" GovLength=\"50\" Profile=\"Main\"><tt:Name>enc</tt:Name><tt:UseCount>1"
               "</tt:UseCount><tt:Encoding>" + encoding + "</tt:Encoding>" + size +
               "<tt:Quality>4</tt:Quality></tr2:VideoEncoder></tr2:Configurations></tr2:Profiles>";
    return "<trt:Profiles token=\"" + token + "\" fixed=\"true\"><tt:Name>" + token +
           "</tt:Name><tt:VideoSourceConfiguration token=\"vsc\"><tt:Name>vsc</tt:Name>"
           "<tt:UseCount>2</tt:UseCount><tt:SourceToken>VideoSource_1</tt:SourceToken>"
           "<tt:Bounds x=\"0\" y=\"0\" width=\"1920\" height=\"1080\"/></tt:VideoSourceConfiguration>"
           "<tt:AudioSourceConfiguration token=\"asc\"><tt:Name>a</tt:Name><tt:UseCount>2"
           "</tt:UseCount><tt:SourceToken>AudioSource_1</tt:SourceToken>"
           "</tt:AudioSourceConfiguration><tt:VideoEncoderConfiguration token=\"enc_" + token +
           "\"><tt:Name>enc</tt:Name><tt:UseCount>1</tt:UseCount><tt:Encoding>" + encoding +
           "</tt:Encoding>" + size + "<tt:Quality>4</tt:Quality></tt:VideoEncoderConfiguration>"
           "</trt:Profiles>";
}

std::string http_text(int32_t status, const std::string& body, bool chunked)
{
    const char* reason = status == 200 ? "OK" : status == 400 ? "Bad Request" : "Unauthorized";
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                       "\r\nServer: camera\r\nContent-Type: application/soap+xml; charset=utf-8"
                       "\r\nConnection: close\r\n";
    if (!chunked)
        return text + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    text += "Transfer-Encoding: chunked\r\n\r\n";
    // Pieces of 700 bytes, so that chunks and reads do not line up.
    for (size_t at = 0; at < body.size(); at += 700) {
        const std::string piece = body.substr(at, 700);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        text += size + piece + "\r\n";
    }
    return text + "0\r\n\r\n";
}

}  // namespace

bool onvif_responder_obj::start(const onvif_responder_options_t& options)
{
    options_ = options;
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), n) != 0 ||
        listen(listen_fd_, 16) != 0 || pipe(wake_fd_) != 0) {
        stop();
        return false;
    }
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
}

void onvif_responder_obj::stop()
{
    if (thread_.joinable()) {
        (void)!write(wake_fd_[1], "x", 1);
        thread_.join();
    }
    for (int* fd : {&listen_fd_, &wake_fd_[0], &wake_fd_[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

std::vector<std::string> onvif_responder_obj::asked()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
}

void onvif_responder_obj::run()
{
    std::vector<int> held;  // connections a silent camera never answers
    for (;;) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 || (p[1].revents & POLLIN))
            break;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (options_.behaviour == onvif_responder_options_t::silent) {
            held.push_back(fd);
            continue;
        }
        serve(fd);
        close(fd);
    }
    for (int fd : held)
        close(fd);
}

void onvif_responder_obj::serve(int fd)
{
    // The whole request within two seconds: header block and Content-Length.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::string request;
    size_t wanted = std::string::npos;
    while (request.size() < wanted) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
            return;
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        request.append(buffer, size_t(n));
        const size_t head_end = request.find("\r\n\r\n");
        const size_t length = request.find("Content-Length: ");
        if (head_end != std::string::npos && length != std::string::npos && length < head_end)
            wanted = head_end + 4 + std::stoul(request.substr(length + 16));
    }
    std::string reply;
    if (options_.behaviour == onvif_responder_options_t::garbage) {
        reply = std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03<Envelope>", 22);
    } else {
        int32_t status = 200;
        // "POST <path> HTTP/1.1"
        const size_t path_end = request.find(' ', 5);
        const std::string path = request.substr(5, path_end == std::string::npos ? 0 : path_end - 5);
        const std::string body =
            respond(path, request.substr(request.find("\r\n\r\n") + 4), &status);
        reply = http_text(status, body, options_.chunked);
    }
    send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

std::string onvif_responder_obj::respond(const std::string& path, const std::string& xml,
                                         int32_t* status)
{
    const onvif_responder_options_t& o = options_;
    question_t q;
    if (!parse_question(xml, &q)) {
        *status = 400;
        return envelope_head + fault("ter:WellFormed", "not well formed") + envelope_tail;
    }
    const int64_t now = QDateTime::currentSecsSinceEpoch() + o.clock_offset_s;
    const bool secured = q.operation != "GetSystemDateAndTime" &&
                         (!o.secure_profiles_only || q.operation == "GetProfiles");
    if (secured) {
        const QDateTime created = QDateTime::fromString(QString::fromStdString(q.created), Qt::ISODate);
        const QByteArray digest =
            QCryptographicHash::hash(QByteArray::fromBase64(QByteArray::fromStdString(q.nonce)) +
                                         QByteArray::fromStdString(q.created + o.password),
                                     QCryptographicHash::Sha1)
                .toBase64();
        const bool fresh = created.isValid() && std::llabs(created.toSecsSinceEpoch() - now) <= o.window_s;
        if (q.user != o.user || !fresh || digest.toStdString() != q.password) {
            std::lock_guard<std::mutex> lock(mutex_);
            asked_.push_back("refused:" + q.operation);
            *status = o.refusal_status;
            return envelope_head + fault("ter:NotAuthorized", "Sender not Authorized") + envelope_tail;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        asked_.push_back(q.operation);
    }
    const std::string base = "http://" + o.reported_host + ":" + std::to_string(port_);
    std::string body;
    if (q.operation == "GetSystemDateAndTime") {
        body = time_answer(now);
    } else if (path != "/onvif/device_service" && q.operation != "GetProfiles" &&
               q.operation != "GetStreamUri") {
        *status = 400;
        body = fault("ter:ActionNotSupported", "not a question of this service");
    } else if (q.operation == "GetServices" && o.has_get_services) {
        body = "<tds:GetServicesResponse>" +
               service("http://www.onvif.org/ver10/device/wsdl", base + "/onvif/device_service");
        if (o.media1)
            body += service("http://www.onvif.org/ver10/media/wsdl", base + "/onvif/Media");
        if (o.media2)
            body += service("http://www.onvif.org/ver20/media/wsdl", base + "/onvif/Media2");
        body += "</tds:GetServicesResponse>";
    } else if (q.operation == "GetCapabilities") {
        body = "<tds:GetCapabilitiesResponse><tds:Capabilities><tt:Device><tt:XAddr>" + base +
               "/onvif/device_service</tt:XAddr></tt:Device><tt:Media><tt:XAddr>" + base +
               "/onvif/Media</tt:XAddr><tt:StreamingCapabilities><tt:RTPMulticast>false"
               "</tt:RTPMulticast></tt:StreamingCapabilities></tt:Media></tds:Capabilities>"
               "</tds:GetCapabilitiesResponse>";
    } else if (q.operation == "GetProfiles" && media_path_offered(path)) {
        const bool media2 = path == "/onvif/Media2";
        const std::string main = profile(media2, "Profile&amp;1", o.encoding, 320, 240);
        const std::string sub = profile(media2, "Profile&amp;2", o.encoding, 160, 120);
        const char* element = media2 ? "tr2:GetProfilesResponse>" : "trt:GetProfilesResponse>";
        body = std::string("<") + element + (o.sub_listed_first ? sub + main : main + sub) + "</" +
               element;
    } else if (q.operation == "GetStreamUri" && media_path_offered(path) &&
               (q.profile_token == "Profile&1" || q.profile_token == "Profile&2")) {
        const std::string uri = "rtsp://" + o.reported_host + ":" + std::to_string(o.rtsp_port) +
                                (q.profile_token == "Profile&1" ? o.main_path : o.sub_path);
        body = path == "/onvif/Media2"
                   ? "<tr2:GetStreamUriResponse><tr2:Uri>" + uri + "</tr2:Uri></tr2:GetStreamUriResponse>"
                   : "<trt:GetStreamUriResponse><trt:MediaUri><tt:Uri>" + uri +
                         "</tt:Uri><tt:InvalidAfterConnect>false</tt:InvalidAfterConnect>"
                         "<tt:InvalidAfterReboot>false</tt:InvalidAfterReboot><tt:Timeout>PT0S"
                         "</tt:Timeout></trt:MediaUri></trt:GetStreamUriResponse>";
    } else {
        *status = 400;
        body = fault("ter:ActionNotSupported", "Optional Action Not Implemented");
    }
    return envelope_head + body + envelope_tail;
}

bool onvif_responder_obj::media_path_offered(const std::string& path) const
{
    return (path == "/onvif/Media" && options_.media1) || (path == "/onvif/Media2" && options_.media2);
}
