// The report of an exception no code handled: the log, standard error, the
// warning box, and a failure status.
#include "app/fatal_error.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "service/headless.h"
#include "app/message_box.h"
#include "settings/log.h"
#include "settings/settings.h"

namespace {

int saved_argc = 0;
char** saved_argv = nullptr;
std::thread::id gui_thread;  // the thread that installed the report

// The log may be open (the close sequence did not run) or not yet opened;
// either way the line goes at the end of this run's file. Without exe_path
// the start-up never came to open a log for this run.
void append_to_log(const std::string& stamp, const char* text)
{
    if (settings.exe_path.empty())
        return;
    const std::string path = replace_extension(settings.exe_path, ".log");
    if (log_open(true, false, path.c_str(), "a"))
        log_print("%s exception: %s\n", stamp.c_str(), text);
    log_close();
}

// The text of the exception being handled; empty for one that is not a
// library exception, or when terminate was called without one.
std::string current_exception_text()
{
    const std::exception_ptr current = std::current_exception();
    if (!current)
        return std::string();
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
    }
    return std::string();
}

[[noreturn]] void on_terminate()
{
    const std::string text = current_exception_text();
    std::_Exit(end_with_exception(saved_argc, saved_argv, text.c_str()));
}

}  // namespace

void report_uncaught_exceptions(int argc, char** argv)
{
    saved_argc = argc;
    saved_argv = argv;
    gui_thread = std::this_thread::get_id();
    std::set_terminate(on_terminate);
}

int end_with_exception(int argc, char** argv, const char* text)
{
    const std::string stamp = utc_timestamp();
    std::fprintf(stderr, "%s exception: %s\n", stamp.c_str(), text);
    append_to_log(stamp, text);
    // Boxes belong to the GUI thread; another thread's exception is logged.
    const bool on_gui_thread = gui_thread == std::thread::id() || std::this_thread::get_id() == gui_thread;
    if (on_gui_thread && !runs_without_window()) {
        std::unique_ptr<QApplication> application;
        if (QCoreApplication::instance() == nullptr)
            application = std::make_unique<QApplication>(argc, argv);
        show_warning(nullptr, text);
    }
    return EXIT_FAILURE;
}
