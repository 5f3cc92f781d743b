// form_timer_t: a repeating timer of the main window whose "enabled" is a
// state of its own. A timer with an interval of 0 or less is enabled but never
// fires (the connect timer relies on that: recon_interval 0 ends the retries).
// GUI thread only.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

class form_timer_t : public QObject {
    Q_OBJECT
public:
    form_timer_t(int interval_ms, bool enabled, std::function<void()> handler,
                 QObject* parent = nullptr);

    bool enabled() const { return enabled_; }
    void set_enabled(bool on);
    int interval() const { return interval_ms_; }
    // Restarts the count when the timer runs, as a form timer does.
    void set_interval(int ms);

private:
    void apply();

    QTimer timer_;                   // does the counting while it may fire
    std::function<void()> handler_;  // the form's handler, run on each tick
    int interval_ms_;                // as set; <= 0 never fires
    bool enabled_;                   // the timer's own state
};
