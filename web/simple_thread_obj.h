// simple_thread_obj: the web server thread, web_server_thread. Each step
// runs one server step of web_server inside server_lock and then waits
// outside it until the next step has something to do, main_interval
// milliseconds at the most. Started and stopped by the GUI thread (never
// while that thread holds server_lock).
#pragma once

#include "net/thread_obj.h"

class simple_thread_obj : public thread_obj {
public:
    simple_thread_obj() = default;
    // Stops the thread while this object's step still exists.
    ~simple_thread_obj() override;

protected:
    void step() override;
    // Ends the wait, so that stop returns without waiting out main_interval.
    void on_stopping() override;
};

extern simple_thread_obj web_server_thread;
