// Notifications to the service manager through libsystemd's sd_notify.
#include "service/service_notify.h"

#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <systemd/sd-daemon.h>

namespace {

bool notifying() { return std::getenv("NOTIFY_SOCKET") != nullptr; }

void send(const std::string& text) { sd_notify(0, text.c_str()); }

// Half the unit's watchdog interval in ms, or 0 when it has none.
int watchdog_period_ms()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return 0;
    return static_cast<int>(std::max<uint64_t>(usec / 2000, 1));
}

}  // namespace

void service_ready(QObject* owner, std::function<std::string()> status)
{
    if (!notifying())
        return;
    auto last_status = std::make_shared<std::string>(status());
    send("READY=1\nSTATUS=" + *last_status);

    const int watchdog_ms = watchdog_period_ms();
    auto* timer = new QTimer(owner);
    timer->setInterval(watchdog_ms > 0 ? std::min(watchdog_ms, 1000) : 1000);
    QObject::connect(timer, &QTimer::timeout, owner, [watchdog_ms, status, last_status] {
        std::string message;
        if (watchdog_ms > 0)
            message = "WATCHDOG=1";
        const std::string now = status();
        if (now != *last_status) {
            *last_status = now;
            message += (message.empty() ? "STATUS=" : "\nSTATUS=") + now;
        }
        if (!message.empty())
            send(message);
    });
    timer->start();
}

void service_stopping()
{
    if (notifying())
        send("STOPPING=1");
}
