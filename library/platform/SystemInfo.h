#pragma once
#include <string>

namespace tw {

// The kernel's id of the calling thread (what `ls /proc/PID/task` shows).
int currentThreadId();

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};
LocalTime localTimeNow();

// The thread's last error (errno on Linux).
int lastError();
void setLastError(int code);

// The system's text for an error code.
std::string errorText(int code);

}  // namespace tw
