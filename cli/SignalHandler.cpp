#include "SignalHandler.h"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "MOSKA.h"
#include "TerminalState.h"

namespace {

std::atomic<int> g_signalCount{0};
std::atomic<bool> g_terminateFinished{false};

// What _exit does, without the flush of stdio streams that some runtimes
// (thread sanitizer) add to _exit: a stream locked by a stuck thread must
// not keep the process alive.
[[noreturn]] void exitProcess(int status) {
    syscall(SYS_exit_group, status);
    _exit(status);
}

[[noreturn]] void exitNow(int status) {
    TerminalState::restore();
    exitProcess(status);
}

// Says "\nTerminating\n" after whatever stdout still holds, without waiting
// for a stream another thread may keep locked.
void announceTermination() {
    if (ftrylockfile(stdout) == 0) {
        std::fflush(stdout);
        funlockfile(stdout);
    }
    static const char msg[] = "\nTerminating\n";
    ssize_t ignored = write(STDOUT_FILENO, msg, sizeof msg - 1);
    (void)ignored;
}

void fatalSignal(int) {
    TerminalState::restore();
    static const char msg[] = "\nTerminating\n";
    ssize_t ignored = write(STDOUT_FILENO, msg, sizeof msg - 1);
    (void)ignored;
    exitProcess(1);
}

// Any other signal that ends the process by default (SIGQUIT, SIGHUP, ...):
// the terminal first, then what the signal would have done anyway.
void endingSignal(int signalNumber) {
    TerminalState::restore();
    // The handler was reset to the default on entry; raised again, the
    // signal ends the process as soon as this returns.
    raise(signalNumber);
}

void installHandler(int signalNumber, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

// A stop request (kill -TSTP; the suspend key raises none at the password
// prompt): the terminal goes back to how the shell left it while stopped,
// and the process stops as it would have.
void stopSignal(int signalNumber) {
    const int savedErrno = errno;
    TerminalState::restore();
    installHandler(signalNumber, SIG_DFL, 0);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    raise(signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // stops here until continued
    installHandler(signalNumber, stopSignal, SA_RESTART);
    // Also when the stop was dropped (an orphaned process group never stops).
    TerminalState::reapply();
    errno = savedErrno;
}

// Continued (also after a stop the process did not see, such as SIGSTOP or
// SIGTTIN): the settings of the prompt come back if one is active.
void continueSignal(int) {
    const int savedErrno = errno;
    TerminalState::reapply();
    errno = savedErrno;
}

sigset_t waitedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void* terminateWorker(void* arg) {
    const int signalNumber = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    if (!MOSKA::terminateInstance()) exitNow(128 + signalNumber);
    g_terminateFinished.store(true);
    return nullptr;
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
    if (!MOSKA::instanceHasSession()) {
        // Nothing is mapped and nothing waits for a release (at a prompt,
        // before or while connecting): end the run here.
        TerminalState::restore();
        announceTermination();
        exitNow(128 + signalNumber);
    }
    // The disconnect may take a while: it runs on a thread of its own, so the
    // signal thread is free to act on a second signal at once.
    void* arg = reinterpret_cast<void*>(static_cast<intptr_t>(signalNumber));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t worker;
    const bool started = pthread_create(&worker, &attr, terminateWorker, arg) == 0;
    pthread_attr_destroy(&attr);
    if (!started) terminateWorker(arg);
}

int SignalCount() { return g_signalCount.load(); }

bool TerminationFinished() { return g_terminateFinished.load(); }

bool InstallSignalHandling() {
    // SA_RESETHAND: a fault inside the handler ends the process plainly.
    for (int sig : {SIGABRT, SIGILL, SIGSEGV, SIGBUS, SIGFPE}) installHandler(sig, fatalSignal, SA_RESETHAND);
    for (int sig : {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ})
        installHandler(sig, endingSignal, SA_RESETHAND);
    installHandler(SIGTSTP, stopSignal, SA_RESTART);
    installHandler(SIGCONT, continueSignal, SA_RESTART);
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
