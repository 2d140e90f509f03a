#pragma once

// Action codes of the drive list (its last local and remote action). The drive
// list class derives from this, so the codes read VMDriveList::DRIVE_IO.
struct VMDriveListConstants {
    static constexpr int DRIVE_IO = 1;
    static constexpr int DRIVE_UNMAP = 2;
    static constexpr int DRIVE_ERROR = 3;
    static constexpr int DRIVE_ADDED = 4;
    static constexpr int DRIVE_REMOVED = 5;
    static constexpr int DRIVE_COUNTS = 6;
    static constexpr int DRIVE_LOCAL_UPDATE = 7;
    static constexpr int DRIVE_LIST_FAILED = 8;
    static constexpr int DRIVE_READ_ERROR = 9;
    static constexpr int DRIVE_WRITE_ERROR = 10;
};
