// form_timer_t: maps the enabled state and interval onto a QTimer.
#include "service/form_timer.h"

form_timer_t::form_timer_t(int interval_ms, bool enabled, std::function<void()> handler,
                           QObject* parent)
    : QObject(parent), handler_(std::move(handler)), interval_ms_(interval_ms), enabled_(enabled)
{
    // A coarse timer may drift by 5 %: three minutes on an hourly rotation.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (enabled_ && handler_)
            handler_();
    });
    apply();
}

void form_timer_t::set_enabled(bool on)
{
    if (on == enabled_)
        return;
    enabled_ = on;
    apply();
}

void form_timer_t::set_interval(int ms)
{
    interval_ms_ = ms;
    apply();
}

void form_timer_t::apply()
{
    if (enabled_ && interval_ms_ > 0)
        timer_.start(interval_ms_);
    else
        timer_.stop();
}
