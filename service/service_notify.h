// The service manager's notification protocol for a Type=notify unit:
// READY=1 when start-up is done, STATUS= with the camera state, WATCHDOG=1
// from the message loop while the unit asks for it, STOPPING=1 when the
// orderly close begins. Without NOTIFY_SOCKET in the environment nothing is
// sent and no timer runs. GUI thread only.
#pragma once

#include <functional>
#include <string>

class QObject;

// Sends READY=1 and the first STATUS=; then a timer owned by owner sends
// WATCHDOG=1 every half watchdog interval (when one is set) and STATUS=
// whenever status() gives a new text (checked at least once a second).
void service_ready(QObject* owner, std::function<std::string()> status);
// Sends STOPPING=1.
void service_stopping();
