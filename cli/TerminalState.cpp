#include "TerminalState.h"

#include <unistd.h>

#include <atomic>

namespace {
termios g_saved;
termios g_changed;
int g_fd = -1;
// Set once the settings and g_fd are complete; the handlers read nothing before it.
std::atomic<bool> g_armed{false};
// Cleared before the owner restores: a late continue must not undo that.
std::atomic<bool> g_changedWanted{false};
}  // namespace

void TerminalState::remember(int fd, const termios& saved, const termios& changed) {
    g_changedWanted.store(false);
    g_armed.store(false);
    g_saved = saved;
    g_changed = changed;
    g_fd = fd;
    g_armed.store(true);
    g_changedWanted.store(true);
}

void TerminalState::release() { g_changedWanted.store(false); }

void TerminalState::forget() {
    g_changedWanted.store(false);
    g_armed.store(false);
}

void TerminalState::restore() {
    if (g_armed.load()) tcsetattr(g_fd, TCSANOW, &g_saved);
}

void TerminalState::reapply() {
    // A process continued in the background would be stopped by the write.
    if (g_armed.load() && g_changedWanted.load() && tcgetpgrp(g_fd) == getpgrp())
        tcsetattr(g_fd, TCSANOW, &g_changed);
}
