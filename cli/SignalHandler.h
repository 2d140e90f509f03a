#pragma once

// What the process does on a signal. The first SIGINT or SIGTERM while a
// session runs terminates the MOSKA object (its media are released); a
// second one, or one while no session runs (at a prompt, before or while
// connecting), restores the terminal and exits at once with 128 + the signal
// number (130 for Ctrl-C), the latter after "\nTerminating\n".
// Runs on the signal thread, never in signal context; the terminate itself
// runs on a thread of its own, so a second signal is acted on at once.
void SignalHandler(int signalNumber);

// Number of SIGINT/SIGTERM signals handled so far.
int SignalCount();
// True once the terminate started by the first signal has returned.
bool TerminationFinished();

// Call in main before any thread exists: blocks SIGINT and SIGTERM in every
// thread and starts the one thread that waits for them; gives SIGSEGV,
// SIGILL, SIGABRT, SIGBUS and SIGFPE a handler that restores the terminal,
// writes "\nTerminating\n" and exits with 1; lets the other signals that end
// a process (SIGQUIT, SIGHUP, ...) restore the terminal first; puts the
// terminal back while the process is stopped (SIGTSTP) and the password
// prompt's settings back when it continues; ignores SIGPIPE.
bool InstallSignalHandling();
