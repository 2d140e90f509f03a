// The two modes of the front end and the checks of the media they map.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "ArgumentParser.h"
#include "MOSKA.h"
#include "TerminalState.h"
#include "api/VMConstants.h"
#include "api/VMSessionStatus.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "platform/NativePath.h"

namespace {

constexpr size_t kLineSize = 256;
constexpr int kFixedDiskType = 3;

// Messages never print a null.
const char* shown(const char* text) { return text ? text : ""; }

// Input ended at a prompt: what follows starts on a line of its own.
int endOfInput() {
    std::printf("\n");
    return 1;
}

// Reads one line of at most size - 1 characters. Only a trailing line break
// is removed; the rest of a longer line is dropped so that it cannot answer
// the next prompt. False at the end of input.
bool readLine(char* buffer, size_t size) {
    std::fflush(stdout);
    if (std::fgets(buffer, static_cast<int>(size), stdin) == nullptr) {
        buffer[0] = '\0';
        return false;
    }
    size_t n = std::strlen(buffer);
    if (n > 0 && buffer[n - 1] == '\n') {
        buffer[--n] = '\0';
        if (n > 0 && buffer[n - 1] == '\r') buffer[--n] = '\0';
    } else if (n + 1 == size) {
        int c;
        do c = std::getc(stdin);
        while (c != '\n' && c != EOF);
    }
    return true;
}

// Echo and line editing off while a password is typed. Ctrl-C still
// interrupts; the quit and suspend keys (Ctrl-\, Ctrl-Z) raise no signal
// here but arrive as characters, so neither can leave the terminal
// unechoed. The old settings come back when this goes, and the signal
// paths restore them through TerminalState.
class QuietTerminal {
public:
    explicit QuietTerminal(int fd) : m_fd(fd) {
        if (!isatty(fd) || tcgetattr(fd, &m_saved) != 0) return;
        termios quiet = m_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
        quiet.c_lflag |= ISIG;
        quiet.c_cc[VMIN] = 1;
        quiet.c_cc[VTIME] = 0;
        quiet.c_cc[VQUIT] = _POSIX_VDISABLE;
        quiet.c_cc[VSUSP] = _POSIX_VDISABLE;
        TerminalState::remember(fd, m_saved, quiet);
        m_active = tcsetattr(fd, TCSANOW, &quiet) == 0;
        if (!m_active) TerminalState::forget();
    }
    ~QuietTerminal() {
        if (!m_active) return;
        TerminalState::release();
        tcsetattr(m_fd, TCSANOW, &m_saved);
        TerminalState::forget();
    }
    QuietTerminal(const QuietTerminal&) = delete;
    QuietTerminal& operator=(const QuietTerminal&) = delete;

    // The terminal's own end-of-file and kill-line keys; -1 when input is
    // not a terminal (then every byte is a character) or the key is off.
    int eofKey() const { return key(VEOF); }
    int killKey() const { return key(VKILL); }

private:
    int key(int index) const {
        if (!m_active || m_saved.c_cc[index] == _POSIX_VDISABLE) return -1;
        return m_saved.c_cc[index];
    }

    int m_fd;
    termios m_saved{};
    bool m_active = false;
};

// The texts of one kind of medium in command-line mode.
struct MediumTexts {
    char option;
    const char* alreadyMapped;
    const char* cannotValidate;
    const char* mapped;
    const char* cannotMap;
};

const MediumTexts kFloppyTexts = {'f', "Cannot map %s, becuase another floppy is already mapped\n",
                                  "Cannot validate floppy %s...\n", "Mapped Floppy!\n", "Cannot map floppy %s...\n"};
const MediumTexts kRemovableTexts = {'r', "Cannot map %s, because another removable is already mapped\n",
                                     "Cannot validate removable %s...\n", "Mapped Removable!\n",
                                     "Cannot map removable %s...\n"};
const MediumTexts kCDTexts = {'c', "Cannot map %s, because another CD is already mapped\n",
                              "Cannot validate CD %s...\n", "Mapped CD!\n", "Cannot map CD %s...\n"};

}  // namespace

int MOSKA::commandLineMode() {
    int result = 0;
    if (m_options->hasKey("a")) {
        m_settings.setIpAddress(m_options->getValue("a"));
    } else {
        std::printf("Server Address is missing (-a)\n");
        result = 1;
    }
    if (m_options->hasKey("u")) {
        m_settings.setUserId(m_options->getValue("u"));
    } else {
        std::printf("User name is missing (-u)\n");
        result = 1;
    }
    if (m_options->hasKey("p")) {
        m_settings.setPassword(m_options->getValue("p"));
    } else {
        std::printf("User password is missing (-p)\n");
        result = 1;
    }
    if (m_options->hasKey("o")) m_settings.setPort(portFromOption(m_options->getValue("o")));

    bool anyMedium = false;
    for (const char* key : {"c", "f", "r", "fw", "rw"})
        if (m_options->hasKey(key)) anyMedium = true;
    if (!anyMedium) {
        std::printf("No drives specified\n");
        return 1;
    }

    if (m_lib->connect(&m_settings, nullptr) != VMConstants::API_SUCCESS) {
        std::printf("Connection Failed\n");
        return 1;
    }
    if (m_lib->requestRemoteDriveList() != VMConstants::API_SUCCESS) {
        m_lib->disconnect();
        return 1;
    }

    bool floppyMapped = false;
    bool removableMapped = false;
    bool cdMapped = false;
    for (int i = 0; i < m_options->getNumberOfKeys(); ++i) {
        const char* key = m_options->getKeyAt(i);
        const char* value = m_options->getValueAt(i);
        if (key == nullptr) continue;
        const MediumTexts* texts = nullptr;
        bool* mapped = nullptr;
        switch (key[0]) {
            case 'f': texts = &kFloppyTexts; mapped = &floppyMapped; break;
            case 'r': texts = &kRemovableTexts; mapped = &removableMapped; break;
            case 'c': texts = &kCDTexts; mapped = &cdMapped; break;
            default: continue;
        }
        // A kind already mapped refuses any further option of its kind, with
        // or without a value; only then is a missing value an error.
        if (*mapped) {
            std::printf(texts->alreadyMapped, shown(value));
            continue;
        }
        if (value == nullptr) {
            std::printf("Device or Image missing for key -%s\n", key);
            if (texts == &kCDTexts) result = 1;
            continue;
        }
        const int writable = (texts != &kCDTexts && key[1] == 'w') ? 1 : 0;
        int rejected = 1;
        if (texts == &kFloppyTexts) rejected = validateFloppy(value, writable);
        else if (texts == &kRemovableTexts) rejected = validateRemovable(value, writable);
        else rejected = validateCD(value);
        if (rejected != 0) {
            std::printf(texts->cannotValidate, key);
            continue;
        }
        if (m_lib->mapDrive(m_currentLocalDriveId) == VMConstants::API_SUCCESS) {
            std::printf("%s", texts->mapped);
            *mapped = true;
        } else {
            std::printf(texts->cannotMap, key);
        }
    }
    std::fflush(stdout);

    if (waitForSessionEnd()) result = 1;
    m_lib->disconnect();
    return result;
}

int MOSKA::interactiveMode() {
    char line[kLineSize];
    for (;;) {
        std::printf("Please select a choice:\n");
        std::printf("1. To continue\n2. To quit\n\n");
        std::printf("Enter the choice: ");
        if (!readLine(line, sizeof line)) return endOfInput();
        if (line[0] == '2') return 0;
        if (line[0] == '1') break;
        std::printf("Invalid choice.\n\n");
    }

    std::printf("\nIP Address: ");
    if (!readLine(line, sizeof line)) return endOfInput();
    if (line[0] == '\0') {
        std::printf("IP Address not valid\n");
        return 1;
    }
    m_settings.setIpAddress(line);

    std::printf("Username: ");
    if (!readLine(line, sizeof line)) return endOfInput();
    if (line[0] == '\0') {
        std::printf("Username not valid\n");
        return 1;
    }
    m_settings.setUserId(line);

    std::printf("Password: ");
    char password[kLineSize];
    readHiddenInput(password, sizeof password);
    m_settings.setPassword(password);
    explicit_bzero(password, sizeof password);

    int result = 0;
    for (;;) {
        std::printf("\n\nSelect the media:\n");
        std::printf("1. Redirect Floppy\n");
        std::printf("2. Redirect Removable\n");
        std::printf("3. Redirect CD/DVD\n");
        std::printf("4. Continue\n");
        std::printf("5. Quit\nEnter the media: ");
        if (!readLine(line, sizeof line)) return endOfInput();
        const char choice = line[0];
        if (choice == '5') return 0;
        if (choice < '1' || choice > '4') {
            std::printf("Invalid choice.\n");
            continue;
        }
        std::printf("\n");
        if (choice == '4') break;
        static const char* const prompts[] = {"Floppy path: ", "Removable path: ", "CD/DVD path: "};
        std::printf("%s", prompts[choice - '1']);
        if (!readLine(line, sizeof line)) return endOfInput();
        if (choice == '1') result = validateFloppy(line, 0);
        else if (choice == '2') result = validateRemovable(line, 0);
        else result = validateCD(line);
    }
    std::fflush(stdout);

    if (m_lib->connect(&m_settings, nullptr) != VMConstants::API_SUCCESS) return 1;
    if (m_lib->requestRemoteDriveList() != VMConstants::API_SUCCESS) {
        m_lib->disconnect();
        return 1;
    }
    if (m_lib->mapDrive(m_currentLocalDriveId) != VMConstants::API_SUCCESS) {
        m_lib->disconnect();
        return 1;
    }
    if (waitForSessionEnd()) result = 1;
    m_lib->disconnect();
    return result;
}

bool MOSKA::waitForSessionEnd() {
    m_lib->waitWhileSessionRunning();
    // The session's own record says why it ended; a disconnect (Ctrl-C) has
    // already replaced it with a fresh session's.
    const std::unique_ptr<VMSessionStatus> status(m_lib->getSessionStatus());
    if (!status) return false;
    const int code = status->getStatus();
    const int reason = status->getDisconnectReason();
    // Reason 999: reads kept failing; a server timeout: nothing arrived.
    const bool lost = (code == VMSessionStatus::DISCONNECT_REQUESTED || code == VMSessionStatus::VM_SESSION_CLOSED) &&
                      (reason == 999 || reason == VMSessionStatus::REASON_SERVER_TIMEOUT);
    if (!lost) return false;
    std::printf("\nConnection to the server was lost\n");
    std::fflush(stdout);
    m_connectionLost = true;
    return true;
}

int MOSKA::validateFloppy(const char* path, int writable) { return validateMedium(path, writable, Medium::Floppy); }

int MOSKA::validateRemovable(const char* path, int writable) {
    return validateMedium(path, writable, Medium::Removable);
}

int MOSKA::validateCD(const char* path) { return validateMedium(path, 0, Medium::CD); }

int MOSKA::validateMedium(const char* path, int writable, Medium kind) {
    // The kernel sees the bytes as typed; the wide form only carries them.
    const std::wstring wide = path ? tw::fromNativePath(path) : std::wstring();
    const std::unique_ptr<VMLocalDrive> drive(m_lib->getLocalDriveObject(path ? wide.c_str() : nullptr, true));
    if (!drive) {
        std::printf("Local Device not found for %s\n", shown(path));
        return 1;
    }
    if (drive->isDrive() && !drive->hasMedia()) {
        std::printf("Local Drive has no media: %s\n", shown(path));
        return 1;
    }
    if (kind != Medium::CD && writable && !drive->isWritable()) {
        std::printf("Local Device not writable: %s\n", shown(path));
        if (drive->isMounted() == 1) std::printf("Local Device is mounted: %s\n", shown(path));
        return 1;
    }
    if (drive->getNumberOfBlocks() == 0) {
        std::printf("Local Device has no data: %s\n", shown(path));
        return 1;
    }
    const int type = drive->getLocalDriveType();
    const bool cdType = type == VMLocalDrive::LOCAL_DRIVE_IS_CD || type == VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE;
    // A fixed or network disk (type 3, no constant) matches no server drive:
    // refused here like any other type the option cannot take.
    const bool unknown = type == VMLocalDrive::LOCAL_DRIVE_IS_UNKNOWN_TYPE || type == kFixedDiskType;
    const bool removableType =
        type == VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE || type == VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE_IMAGE;
    switch (kind) {
        case Medium::Floppy:
            if (cdType || unknown || removableType) {
                std::printf("Local Device type is not compatible with -f (floppy): %s\n", shown(path));
                return 1;
            }
            break;
        case Medium::Removable:
            if (cdType || unknown) {
                std::printf("Local Device type is not compatible with -r (removable): %s\n", shown(path));
                return 1;
            }
            break;
        case Medium::CD:
            if (!cdType) {
                std::printf("Local Device type is not compatible with -c: (CD/DVD) %s\n", shown(path));
                return 1;
            }
            break;
    }
    m_currentLocalDriveId = drive->getDriveId();
    if (kind != Medium::CD) m_lib->setLocalDriveReadOnly(m_currentLocalDriveId, writable ? 0 : 1);
    m_lib->setLocalDriveForMapping(m_currentLocalDriveId, 1);
    return 0;
}

void MOSKA::readHiddenInput(char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return;
    std::fflush(stdout);
    // Keys come from the same stdio stream as lines, so nothing buffered is lost.
    QuietTerminal quiet(fileno(stdin));
    unsigned stored = 0;
    const int eofKey = quiet.eofKey();
    const int killKey = quiet.killKey();
    for (;;) {
        const int c = std::getc(stdin);
        if (c == EOF || c == '\n' || c == '\r' || c == eofKey) break;
        if (c == 8 || c == 127) {
            if (stored > 0) --stored;
            continue;
        }
        if (c == killKey) {
            stored = 0;
            continue;
        }
        if (stored + 1 < size) buffer[stored++] = static_cast<char>(c);
    }
    buffer[stored] = '\0';
}
