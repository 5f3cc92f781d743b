// Test support: headless Chromium driven over its DevTools pipe (file
// descriptors 3 and 4, messages ended by a zero byte), so that a test can
// evaluate script in the page and take screenshots while the page keeps
// streaming. No debugging port is opened; the page is whatever URL the test
// gives (loopback only). Header-only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QByteArray>
#include <QImage>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait.h"

namespace cdp {

// The text of a JSON string value that follows `"key":"` in message;
// escapes other than \" and \\ are kept as they are (enough for ids, base64
// and the short values the tests read).
inline std::string string_field(const std::string& message, const std::string& key)
{
    const std::string opening = "\"" + key + "\":\"";
    size_t at = message.find(opening);
    if (at == std::string::npos)
        return std::string();
    std::string value;
    for (at += opening.size(); at < message.size() && message[at] != '"'; ++at) {
        if (message[at] == '\\' && at + 1 < message.size())
            ++at;
        value += message[at];
    }
    return value;
}

class browser_t {
public:
    // Starts the browser on url with a window of width x height.
    browser_t(const std::string& url, int width, int height)
    {
        int to_browser[2], from_browser[2];
        if (profile.path().empty() || pipe2(to_browser, O_CLOEXEC) != 0)
            return;
        if (pipe2(from_browser, O_CLOEXEC) != 0) {
            ::close(to_browser[0]);
            ::close(to_browser[1]);
            return;
        }
        kestrel_test::child_options_t options;
        options.stderr_path = "/dev/null";
        options.extra_fds = {to_browser[0], from_browser[1]};
        const bool started = process.start(
            {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + profile.path(), "--remote-debugging-pipe",
             "--window-size=" + std::to_string(width) + "," + std::to_string(height), url},
            options);
        ::close(to_browser[0]);
        ::close(from_browser[1]);
        out = to_browser[1];
        in = from_browser[0];
        if (started)
            attach();
    }
    ~browser_t()
    {
        if (out >= 0)
            ::close(out);
        if (in >= 0)
            ::close(in);
        process.kill_now();  // before the profile goes
    }
    browser_t(const browser_t&) = delete;
    browser_t& operator=(const browser_t&) = delete;

    // Attached to the page: commands to it can be sent.
    bool ready() const { return !session.empty(); }

    // The value of a script expression as text ("" on failure).
    std::string evaluate(const std::string& expression)
    {
        std::string escaped;
        for (char c : expression) {
            if (c == '"' || c == '\\')
                escaped += '\\';
            escaped += c;
        }
        const std::string reply = command("Runtime.evaluate",
                                          "{\"expression\":\"String(" + escaped + ")\"}");
        return string_field(reply, "value");
    }

    // Evaluates until the expression gives "true"; false after timeout_ms.
    bool wait_until(const std::string& expression, int timeout_ms)
    {
        return kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::milliseconds(timeout_ms)),
                                        [&] { return evaluate(expression) == "true"; },
                                        std::chrono::milliseconds(100));
    }

    QImage screenshot()
    {
        const std::string data = string_field(command("Page.captureScreenshot", "{}"), "data");
        return QImage::fromData(QByteArray::fromBase64(QByteArray::fromStdString(data)), "PNG");
    }

    kestrel_test::temp_folder_t profile{"kestrel-chromium"};  // its throw-away profile folder
    kestrel_test::child_process_t process;                    // the browser

    // Lays the page out for a viewport of width x height (a narrower one
    // than a headless window can have), as a small screen would.
    void set_viewport(int width, int height)
    {
        command("Emulation.setDeviceMetricsOverride",
                "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
                    ",\"deviceScaleFactor\":1,\"mobile\":false}");
    }

private:
    // Sends one command and returns its reply (the message with its id);
    // "" when the browser went away or stayed silent for 20 seconds.
    std::string command(const std::string& method, const std::string& params, bool to_page = true)
    {
        const int id = ++last_id;
        std::string message = "{\"id\":" + std::to_string(id) + ",";
        if (to_page)
            message += "\"sessionId\":\"" + session + "\",";
        message += "\"method\":\"" + method + "\",\"params\":" + params + "}";
        message += '\0';
        if (::write(out, message.data(), message.size()) != ssize_t(message.size()))
            return std::string();
        const std::string tag = "\"id\":" + std::to_string(id) + ",";
        for (;;) {
            size_t end;
            while ((end = pending.find('\0')) != std::string::npos) {
                std::string reply = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (reply.rfind("{" + tag, 0) == 0)
                    return reply;
            }
            pollfd p{in, POLLIN, 0};
            if (poll(&p, 1, 20000) <= 0)
                return std::string();
            char buffer[65536];
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n <= 0)
                return std::string();
            pending.append(buffer, size_t(n));
        }
    }

    void attach()
    {
        // The page target may appear a moment after the browser answers.
        std::string targets;
        size_t page = std::string::npos;
        kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::seconds(10)), [&] {
            targets = command("Target.getTargets", "{}", false);
            page = targets.find("\"type\":\"page\"");
            return targets.empty() || page != std::string::npos;  // a silent browser ends it too
        }, std::chrono::milliseconds(100));
        if (page == std::string::npos)
            return;
        // The page's target id is the last one named before its type.
        const size_t id_at = targets.rfind("\"targetId\":\"", page);
        if (id_at == std::string::npos)
            return;
        const std::string target = string_field(targets.substr(id_at), "targetId");
        session = string_field(command("Target.attachToTarget",
                                       "{\"targetId\":\"" + target + "\",\"flatten\":true}", false),
                               "sessionId");
    }

    int out = -1;          // the browser's fd 3: commands
    int in = -1;           // the browser's fd 4: replies and events
    int last_id = 0;       // id of the last command
    std::string session;   // the page's session id
    std::string pending;   // received bytes not yet taken
};

}  // namespace cdp
