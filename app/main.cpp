// Process entry: the Qt application, the main window (whose construction is
// the start-up sequence), the options dialog, and the message loop. SIGTERM
// and SIGINT close the main window, which runs the orderly close sequence.
// The command line is read first (app/command_line.h); under a service
// manager, readiness follows the window's construction. Our own code throws
// nothing; a library exception that no code handles is reported and fails
// the run (app/fatal_error.h).
#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/command_line.h"
#include "app/fatal_error.h"
#include "app/headless.h"
#include "app/main_form_unit.h"
#include "app/options_form_unit.h"
#include "app/service_notify.h"

namespace {

int signal_pipe[2] = {-1, -1};  // written by the signal handler, read on the GUI thread

void on_stop_signal(int)
{
    const char byte = 1;
    // Only async-signal-safe calls here; a full pipe already carries a wake-up.
    [[maybe_unused]] ssize_t n = write(signal_pipe[1], &byte, 1);
}

// Without a display the program still runs (as a daemon) on the offscreen
// platform instead of failing to connect to one.
void choose_platform()
{
    if (std::getenv("QT_QPA_PLATFORM") != nullptr)
        return;
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        display_missing = true;
    }
}

void install_stop_signals(QObject* parent)
{
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, signal_pipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [] {
        char byte;
        [[maybe_unused]] ssize_t n = read(signal_pipe[0], &byte, 1);
        if (main_form != nullptr)
            static_cast<QWidget*>(main_form)->close();  // the form's close is its menu item
    });
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Picture-sized buffers (a large web snapshot, a photo, a camera's new
// resolution) are mapped and unmapped on their own. With glibc's sliding
// threshold they would be carved from the heap after the first one was
// freed, and a program that runs for months would keep the high-water mark
// of every rare large request.
void return_large_buffers()
{
#ifdef M_MMAP_THRESHOLD
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    const int finished = read_command_line(argc, argv);
    if (finished >= 0)
        return finished;
    return_large_buffers();
    choose_platform();
    // The options are the program's own; Qt is given none of them.
    static int qt_argc = 1;
    report_uncaught_exceptions(qt_argc, argv);
    // The forms and the application end before the entry returns.
    {
        QApplication application(qt_argc, argv);
        // Whether and how the main window shows is decided by its start-up.
        QApplication::setQuitOnLastWindowClosed(false);
        // Before the window is built: a stop requested during start-up waits
        // in the pipe and closes the window once the message loop runs.
        install_stop_signals(&application);
        Tmain_form form;
        Toptions_form options(&form);
        options_form = &options;
        service_ready(&form, [&form] { return form.service_status(); });
        QApplication::exec();
        options_form = nullptr;
    }
    return 0;
}
