// MJPEG client benchmark: N clients read one multipart JPEG stream each from
// a loopback server for a number of seconds; prints the parts per second of
// every client, the distinct pictures per second across all clients (each
// one an encode by the server), and the server's CPU and resident memory
// over the same window, read from /proc. One thread polls all clients.
// usage: mjpeg_bench PORT TARGET CLIENTS SECONDS SERVER_PID [USER:PASSWORD]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

// One client's connection and what it has counted.
struct client_t {
    int sock = -1;
    std::string pending;   // received bytes not yet parsed
    size_t need = 0;       // bytes of the current JPEG still to come, with its header parsed
    int parts = 0;         // complete parts inside the measuring window
    bool ended = false;    // the server closed the connection
};

std::string base64(const std::string& text)
{
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3) {
        uint32_t v = uint8_t(text[i]) << 16;
        if (i + 1 < text.size())
            v |= uint8_t(text[i + 1]) << 8;
        if (i + 2 < text.size())
            v |= uint8_t(text[i + 2]);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < text.size() ? table[(v >> 6) & 63] : '=';
        out += i + 2 < text.size() ? table[v & 63] : '=';
    }
    return out;
}

int connect_loopback(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// The value of a header line, case-insensitively; -1 when absent.
long content_length(const std::string& head)
{
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    const size_t at = lower.find("content-length:");
    return at == std::string::npos ? -1 : std::strtol(head.c_str() + at + 15, nullptr, 10);
}

// Takes complete parts out of the client's bytes. The HTTP header of the
// response has no length and is skipped; every later block up to an empty
// line names the length of the JPEG behind it.
void parse(client_t& c, bool counting, std::set<size_t>& pictures)
{
    for (;;) {
        if (c.need == 0) {
            const size_t end = c.pending.find("\r\n\r\n");
            if (end == std::string::npos)
                return;
            const long length = content_length(c.pending.substr(0, end));
            c.pending.erase(0, end + 4);
            if (length > 0)
                c.need = size_t(length);
            continue;
        }
        if (c.pending.size() < c.need)
            return;
        if (counting) {
            ++c.parts;
            pictures.insert(std::hash<std::string>()(c.pending.substr(0, c.need)));
        }
        c.pending.erase(0, c.need);
        c.need = 0;
    }
}

// Clock ticks of user and system time of a process.
long cpu_ticks(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close_paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::atol(field.c_str());
        if (i == 15) {
            stime = std::atol(field.c_str());
            break;
        }
    }
    return utime + stime;
}

long rss_kib(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 6 || std::atoi(argv[3]) < 0) {
        std::fprintf(stderr, "usage: mjpeg_bench PORT TARGET CLIENTS SECONDS SERVER_PID [USER:PASSWORD]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string target = argv[2];
    const int count = std::atoi(argv[3]);
    const double seconds = std::atof(argv[4]);
    const int pid = std::atoi(argv[5]);
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (argc > 6)
        request += "Authorization: Basic " + base64(argv[6]) + "\r\n";
    request += "\r\n";

    std::vector<client_t> clients(static_cast<size_t>(count));
    for (client_t& c : clients) {
        c.sock = connect_loopback(port);
        if (c.sock < 0 || send(c.sock, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
            std::fprintf(stderr, "cannot connect to 127.0.0.1:%d\n", port);
            return 1;
        }
    }
    // The first second lets every stream start; then the window is measured.
    const auto start = steady::now();
    const auto window_start = start + std::chrono::seconds(1);
    const auto window_end = window_start + std::chrono::duration_cast<steady::duration>(
                                               std::chrono::duration<double>(seconds));
    bool counting = false;
    long cpu_before = 0;
    std::set<size_t> pictures;
    std::vector<pollfd> polls(clients.size());
    char buffer[1 << 16];
    while (steady::now() < window_end) {
        if (!counting && steady::now() >= window_start) {
            counting = true;
            cpu_before = cpu_ticks(pid);
        }
        for (size_t i = 0; i < clients.size(); ++i)
            polls[i] = {clients[i].ended ? -1 : clients[i].sock, POLLIN, 0};
        if (poll(polls.data(), polls.size(), 50) < 0)
            break;
        for (size_t i = 0; i < clients.size(); ++i) {
            if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = recv(clients[i].sock, buffer, sizeof buffer, 0);
            if (n <= 0) {
                clients[i].ended = true;
                continue;
            }
            clients[i].pending.append(buffer, size_t(n));
            parse(clients[i], counting, pictures);
        }
    }
    const long cpu_after = cpu_ticks(pid);
    const long rss = rss_kib(pid);
    const double ticks = double(sysconf(_SC_CLK_TCK));

    // No clients: the server's own cost of taking the camera in.
    int low = count > 0 ? 1 << 30 : 0, high = 0, total = 0, ended = 0;
    for (const client_t& c : clients) {
        low = std::min(low, c.parts);
        high = std::max(high, c.parts);
        total += c.parts;
        ended += c.ended ? 1 : 0;
        close(c.sock);
    }
    std::printf("clients %3d  parts/s per client min %5.1f avg %5.1f max %5.1f  distinct pictures/s %5.1f  "
                "server cpu %5.1f %%  rss %6.1f MiB%s\n",
                count, low / seconds, count > 0 ? total / seconds / count : 0.0, high / seconds, double(pictures.size()) / seconds,
                100.0 * double(cpu_after - cpu_before) / ticks / seconds, double(rss) / 1024.0,
                ended ? "  (some streams ended)" : "");
    return 0;
}
