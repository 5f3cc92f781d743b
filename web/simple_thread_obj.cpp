// simple_thread_obj: one server step, then the wait; defines
// web_server_thread.
#include "web/simple_thread_obj.h"

#include "settings/settings.h"
#include "web/simple_server.h"

simple_thread_obj web_server_thread;

simple_thread_obj::~simple_thread_obj() { stop(); }

void simple_thread_obj::step()
{
    web_server.enter();
    web_server.step();
    // main_interval is a web setting, written by the GUI under this lock.
    int32_t interval_ms = settings.main_interval;
    web_server.leave();
    web_server.wait(interval_ms);
}

void simple_thread_obj::on_stopping() { web_server.wake(); }
