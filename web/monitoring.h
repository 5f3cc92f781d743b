// What "/metrics" and "/healthz" answer: the counters of settings/metrics
// and the process's own figures as Prometheus text (format 0.0.4), and the
// program's health in one line. Runs on the web server thread; reads only
// atomics and /proc, never waits for the camera or the disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "web/route.h"

// The whole "/metrics" body.
std::string metrics_text();

struct health_t {
    bool ok = false;   // 200 when true, 503 when false
    std::string text;  // one line without its line end: "ok: ..." or the reason
};

// How long the camera or a running recording may stay silent before the
// program counts as unhealthy. The camera sends many packets a second and
// a recording takes each one, so a few seconds of silence is a stop.
constexpr int64_t health_silence_ms = 5000;

// The health at now_ms on the metrics clock (metrics_clock_ms()). Demo
// mode, chosen by a person, shows its picture without a camera and is
// healthy.
health_t health_at(int64_t now_ms, bool demo = false);

// The routes, behind the same authentication as every other name:
// "metrics" (200, text/plain; version=0.0.4) and "healthz" (200 or 503,
// the one line and its line end as text/plain). Neither is cached.
inline constexpr const char* metrics_route_name = "metrics";
inline constexpr const char* health_route_name = "healthz";
std::unique_ptr<route_handler> make_metrics_route();
std::unique_ptr<route_handler> make_health_route();
