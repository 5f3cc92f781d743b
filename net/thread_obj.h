// thread_obj: a stoppable worker thread that repeats its virtual step until
// asked to stop. Started and stopped from the GUI thread; step runs only on
// the object's own thread. Its own lock guards the stopped flag alone.
#pragma once

#include <thread>

#include "settings/mt_obj.h"

class thread_obj : public mt_obj {
public:
    thread_obj() = default;
    // A derived object must call stop() in its own destructor: by the time
    // this one runs, the derived step() is gone.
    ~thread_obj() override;

    // True when a new thread was created; false when one already runs or the
    // thread could not be created (the object is then stopped again).
    bool start();
    // Returns when no thread of this object runs any more; the running step
    // is allowed to finish. Does nothing on a stopped object.
    void stop();
    bool is_stopped();

protected:
    virtual void step() = 0;
    // Called by stop on the stopping thread once the flag is set, before it
    // waits for the thread: a step that waits for something ends its wait here.
    virtual void on_stopping() {}

private:
    void run();

    std::thread thread_handle;  // the worker, not joinable when none runs
    bool stopped = true;        // no thread runs, or it was asked to stop
};
