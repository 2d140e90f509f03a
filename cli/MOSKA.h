#pragma once
#include <memory>

#include "api/VMConnectionInfo.h"

class ArgumentParser;
class RP_VMAPI_LIB;

// Tarnwick's front end: one object for the life of the process. It checks
// the options, then runs command-line or interactive mode through the facade.
class MOSKA {
public:
    MOSKA(int argc, char** argv);
    virtual ~MOSKA();
    MOSKA(const MOSKA&) = delete;
    MOSKA& operator=(const MOSKA&) = delete;

    // API_SUCCESS when every option is known, else API_ERROR after a message.
    int checkOptions();
    void run();
    // Prints "\nTerminating\n" and disconnects the session.
    void terminate();
    void printVersion();

    // The process exit status the run earned: 0 for a normal end, 1 after an
    // error, EXIT_CONNECTION_LOST when the session ended because its
    // connection to the server died.
    int exitStatus() const { return m_exitStatus; }
    static constexpr int EXIT_CONNECTION_LOST = 2;

    // Calls terminate() on the process's MOSKA object; false when there is none.
    // The object is not destroyed while this runs.
    static bool terminateInstance();
    static bool instanceExists();
    // True while the process's MOSKA object has a session running, that is
    // something a signal must tear down (media to release) rather than
    // simply end.
    static bool instanceHasSession();

    // The port for an -o value: its leading decimal digits; 0 (a port no
    // connect accepts) when the value is missing, has no digits or is above 65535.
    static int portFromOption(const char* value);

    // The two ways of working; 0 success, 1 failure.
    int commandLineMode();
    int interactiveMode();

    // Registers the medium at path and checks that it can serve as that kind;
    // 0 accepted (it becomes the current local drive, marked for mapping),
    // 1 rejected after a message naming the path as given.
    int validateFloppy(const char* path, int writable);
    int validateRemovable(const char* path, int writable);
    int validateCD(const char* path);

    // Reads one line from standard input without echo into buffer (at most
    // size - 1 characters, always terminated). Backspace (8 or 127) removes
    // a character; a line break or the end of input ends the line. On a
    // terminal its own end-of-file key (Ctrl-D) also ends the line and its
    // kill key (Ctrl-U) clears what was typed.
    void readHiddenInput(char* buffer, unsigned size);

private:
    enum class Medium { Floppy, Removable, CD };
    int validateMedium(const char* path, int writable, Medium kind);
    // Waits while the session runs; true (after saying so) when it ended
    // because the connection to the server died.
    bool waitForSessionEnd();

    int m_argc;
    char** m_argv;
    int m_interactive = 0;
    int m_currentLocalDriveId = 0;
    std::unique_ptr<RP_VMAPI_LIB> m_lib;
    std::unique_ptr<ArgumentParser> m_options;
    VMConnectionInfo m_settings;
    int m_exitStatus = 0;
    bool m_connectionLost = false;
};
