// thread_obj: start/stop/run of the worker thread.
#include "net/thread_obj.h"

#include <system_error>

thread_obj::~thread_obj() { stop(); }

bool thread_obj::start()
{
    enter();
    if (!stopped) {
        leave();
        return false;
    }
    stopped = false;
    leave();

    // std::thread reports a failed creation by throwing; the program's own
    // interfaces report it as a false result instead.
    try {
        thread_handle = std::thread(&thread_obj::run, this);
    } catch (const std::system_error&) {
        enter();
        stopped = true;
        leave();
        return false;
    }
    return true;
}

void thread_obj::stop()
{
    enter();
    if (stopped) {
        leave();
        return;
    }
    stopped = true;
    leave();
    on_stopping();
    if (thread_handle.joinable())
        thread_handle.join();
}

bool thread_obj::is_stopped()
{
    enter();
    bool result = stopped;
    leave();
    return result;
}

void thread_obj::run()
{
    // The flag is tested between steps only, so stop() waits for at most
    // the step that is running.
    while (!is_stopped())
        step();
}
