#pragma once
#include <termios.h>

// The terminal settings to put back when the process ends abruptly. Whoever
// switches the terminal (for example to read a password unechoed) remembers
// the old settings here first and forgets them after restoring them itself.
class TerminalState {
public:
    static void remember(int fd, const termios& saved);
    static void forget();
    // Async-signal-safe: usable from a signal handler just before _exit.
    static void restore();
};
