#include "TerminalState.h"

#include <atomic>

namespace {
termios g_saved;
int g_fd = -1;
// Set once g_saved and g_fd are complete; the handler reads nothing before it.
std::atomic<bool> g_armed{false};
}  // namespace

void TerminalState::remember(int fd, const termios& saved) {
    g_armed.store(false);
    g_saved = saved;
    g_fd = fd;
    g_armed.store(true);
}

void TerminalState::forget() { g_armed.store(false); }

void TerminalState::restore() {
    if (g_armed.load()) tcsetattr(g_fd, TCSANOW, &g_saved);
}
