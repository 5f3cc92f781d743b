// The end of a run that an exception cut short. No handler catches it on its
// way up: unwinding through the toolkit's event dispatch leaves the toolkit
// in a state where the close sequence would crash, so the exception ends the
// run where it is, through std::terminate, and is reported there.
#pragma once

// Installs the report as the terminate handler; called once by the process
// entry before anything else can throw. argc and argv are the process's (the
// box needs an application object, and the exception may come before one).
void report_uncaught_exceptions(int argc, char** argv);

// The report: appends the text to this run's log and writes it to standard
// error, shows it in the warning box when called on the GUI thread and the
// program runs with a window, and returns the failure status to exit with
// (a service manager then sees that the run failed).
int end_with_exception(int argc, char** argv, const char* text);
