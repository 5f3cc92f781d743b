// Process entry. The command line is read first (app/command_line.h); then
// the service core opens (log, configuration file), which tells whether a
// window is wanted. A daemon, or a start without a display, runs the core
// alone on a Qt application without widgets and without the display's
// platform; otherwise the main window is the core's face. SIGTERM and SIGINT
// run the orderly close sequence (through the window's close when there is
// one); under a service manager, readiness follows the start-up. Our own
// code throws nothing; a library exception that no code handles is reported
// and fails the run (app/fatal_error.h).
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <malloc.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

#include "app/command_line.h"
#include "app/fatal_error.h"
#include "app/main_form_unit.h"
#include "app/options_form_unit.h"
#include "service/headless.h"
#include "service/service_core.h"
#include "service/service_notify.h"

namespace {

int signal_pipe[2] = {-1, -1};  // written by the signal handler, read on the GUI thread

void on_stop_signal(int)
{
    const char byte = 1;
    // Only async-signal-safe calls here; a full pipe already carries a wake-up.
    [[maybe_unused]] ssize_t n = write(signal_pipe[1], &byte, 1);
}

// A stop requested during start-up waits in the pipe and runs close once
// the message loop runs.
void install_stop_signals(QObject* parent, std::function<void()> close)
{
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, signal_pipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [close] {
        char byte;
        [[maybe_unused]] ssize_t n = read(signal_pipe[0], &byte, 1);
        close();
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

// Whether Qt's offscreen platform can be loaded: it draws the text of the
// diagnostic picture for the web without any display.
bool offscreen_platform_installed()
{
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    return !platforms.entryList({QStringLiteral("libqoffscreen*")}, QDir::Files).isEmpty();
}

// A program without a window never asks a display or the platform named in
// the environment: the offscreen platform when it is installed, else no
// platform at all (pictures are then drawn without text).
std::unique_ptr<QCoreApplication> windowless_application(int& argc, char** argv)
{
    if (offscreen_platform_installed()) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return std::make_unique<QGuiApplication>(argc, argv);
    }
    return std::make_unique<QCoreApplication>(argc, argv);
}

int run_windowless(service_core_t& core, int& argc, char** argv)
{
    const std::unique_ptr<QCoreApplication> application = windowless_application(argc, argv);
    install_stop_signals(application.get(), [&core] {
        core.close();
        QCoreApplication::quit();
    });
    core.start(nullptr);
    service_ready(application.get(), [&core] { return core.service_status(); });
    QCoreApplication::exec();
    return 0;
}

int run_with_window(service_core_t& core, int& argc, char** argv)
{
    QApplication application(argc, argv);
    // Whether and how the main window shows is decided by its start-up.
    QApplication::setQuitOnLastWindowClosed(false);
    install_stop_signals(&application, [] {
        if (main_form != nullptr)
            static_cast<QWidget*>(main_form)->close();  // the form's close is its menu item
    });
    Tmain_form form(core);
    Toptions_form options(&form);
    options_form = &options;
    service_ready(&form, [&core] { return core.service_status(); });
    QApplication::exec();
    options_form = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const int finished = read_command_line(argc, argv);
    if (finished >= 0)
        return finished;
    return_large_buffers();
    display_missing = std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr;
    // The options are the program's own; Qt is given none of them.
    static int qt_argc = 1;
    report_uncaught_exceptions(qt_argc, argv);
    // The core, the forms and the application end before the entry returns.
    service_core_t core;
    core.open();
    if (runs_without_window())
        return run_windowless(core, qt_argc, argv);
    return run_with_window(core, qt_argc, argv);
}
