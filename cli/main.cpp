#include <cstdio>
#include <memory>
#include <unistd.h>

#include "MOSKA.h"
#include "PrintUsage.h"
#include "SignalHandler.h"
#include "TerminalState.h"
#include "api/VMConstants.h"

int main(int argc, char** argv) {
    // A pipe would otherwise hold back prompts and lose lines on _exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (argc <= 1) {
        std::printf("Required arguments are missing!\n\n");
        PrintUsage(1);
        return 1;
    }

    // Before any thread exists, so every thread inherits the signal mask.
    InstallSignalHandling();

    // Declared outside the guard: an escaping exception ends the process
    // without tearing down a library whose threads may still run.
    std::unique_ptr<MOSKA> moska;
    int status = 1;
    try {
        moska = std::make_unique<MOSKA>(argc, argv);
        if (moska->checkOptions() == VMConstants::API_SUCCESS) moska->run();
        status = moska->exitStatus();
    } catch (const char* message) {
        TerminalState::restore();
        std::printf("\nTerminated with Exception: %s\n", message ? message : "");
        std::fflush(stdout);
        _exit(1);
    } catch (...) {
        TerminalState::restore();
        std::printf("\nTerminated.\n");
        std::fflush(stdout);
        _exit(1);
    }
    moska.reset();
    return status;
}
