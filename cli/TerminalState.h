#pragma once
#include <termios.h>

// The terminal settings to put back when the process ends or stops
// abruptly. Whoever switches the terminal (for example to read a password
// unechoed) remembers the old and the new settings here first, and forgets
// them after restoring the old ones itself.
class TerminalState {
public:
    static void remember(int fd, const termios& saved, const termios& changed);
    // Call before restoring the old settings: from then on nothing puts the
    // changed ones back.
    static void release();
    static void forget();
    // Async-signal-safe: usable from a signal handler just before _exit or
    // before the process stops.
    static void restore();
    // Async-signal-safe: puts the changed settings back after the process
    // was continued, when it is in the terminal's foreground again.
    static void reapply();
};
