#include "SignalHandler.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "MOSKA.h"
#include "TerminalState.h"

namespace {

std::atomic<int> g_signalCount{0};

[[noreturn]] void exitNow(int status) {
    TerminalState::restore();
    _exit(status);
}

void fatalSignal(int) {
    TerminalState::restore();
    static const char msg[] = "\nTerminating\n";
    ssize_t ignored = write(STDOUT_FILENO, msg, sizeof msg - 1);
    (void)ignored;
    _exit(1);
}

sigset_t waitedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void* signalThread(void*) {
    const sigset_t set = waitedSignals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0) SignalHandler(sig);
    }
    return nullptr;
}

}  // namespace

void SignalHandler(int signalNumber) {
    if (g_signalCount.fetch_add(1) > 0) exitNow(128 + signalNumber);
    if (!MOSKA::terminateInstance()) exitNow(128 + signalNumber);
}

int SignalCount() { return g_signalCount.load(); }

bool InstallSignalHandling() {
    struct sigaction fatal {};
    fatal.sa_handler = fatalSignal;
    sigemptyset(&fatal.sa_mask);
    for (int sig : {SIGABRT, SIGILL, SIGSEGV}) sigaction(sig, &fatal, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const sigset_t set = waitedSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool ok = pthread_create(&thread, &attr, signalThread, nullptr) == 0;
    pthread_attr_destroy(&attr);
    if (!ok) pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // keep Ctrl-C working at least
    return ok;
}
