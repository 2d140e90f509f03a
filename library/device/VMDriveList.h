#pragma once
#include <atomic>
#include <memory>
#include <vector>

#include "api/VMDriveListConstants.h"
#include "api/VMRemoteDrive.h"
#include "base/ASemaphore.h"
#include "device/VMLocalDrive.h"

// The local drives the client offers and the remote drives the server
// announced, each side under its own lock. Lookups take a timeout:
//   < 0   plain: find under the lock and let it go;
//   >= 0  lock and hold: a drive found stays held (its side stays locked)
//         until releaseLocalDrive/releaseRemoteDrive; 0 waits without limit.
// Holding is per list, not per thread: a thread holding a drive that makes a
// plain lookup on the same side waits for itself. The library itself only
// makes plain lookups. When both sides are locked, remote comes first.
// Copies (from a pointer, a reference or by assignment) are deep and have no
// locks: their lookups are all plain.
class VMDriveList : public VMDriveListConstants {
public:
    struct struct_DriveCounts {
        int count0 = 0;
        int count1 = 0;
        int count2 = 0;
    };
    using Callback = void (*)(int);

    VMDriveList();
    explicit VMDriveList(const VMDriveList* other);
    VMDriveList(const VMDriveList& other);
    VMDriveList& operator=(const VMDriveList& other);
    ~VMDriveList();

    int getNumberOfLocalDrives();
    int getNumberOfRemoteDrives();
    struct_DriveCounts* getDriveCounts() { return &m_driveCounts; }

    // Takes ownership and gives the next id; when the path is already listed
    // the listed id is returned (and given to the drive) and the caller keeps it.
    int addLocalDrive(VMLocalDrive* drive);
    VMLocalDrive* getLocalDriveAt(int index, int timeout = -1);
    VMLocalDrive* getLocalDriveByID(int id, int timeout = -1);
    VMLocalDrive* getLocalDriveByPath(const wchar_t* path, int timeout = -1);
    // A drive with an open handle is unlocked and closed before it goes.
    void removeLocalDrive(VMLocalDrive* drive);
    void removeLocalDriveAtIndex(int index);

    VMRemoteDrive* getRemoteDriveAt(int index, int timeout = -1);
    VMRemoteDrive* getRemoteDriveByID(int id, int timeout = -1);
    // An idle, unmapped remote drive that suits the local type, or null.
    VMRemoteDrive* getMatchingRemoteDrive(int localType, int timeout = -1);

    bool releaseLocalDrive(VMLocalDrive*& drive);
    bool releaseRemoteDrive(VMRemoteDrive*& drive);

    // Merges the server's drive list (the caller keeps its objects). Remote
    // drives the server no longer lists are unmapped from their local drive
    // and retired: kept alive, unlisted, until this list is destroyed.
    void updateRemoteDriveList(std::vector<VMRemoteDrive*>& serverList);

    void registerCallback(Callback cb) { m_callback.store(cb); }
    int getLastLocalAction() const { return m_lastLocalAction; }
    void setLastLocalAction(int a) { m_lastLocalAction = a; }
    int getLastRemoteAction() const { return m_lastRemoteAction; }
    void setLastRemoteAction(int a) { m_lastRemoteAction = a; }
    int isRemoteListReceived() const { return m_remoteListReceived; }

private:
    template <typename T, typename Search>
    T* lookup(ASemaphore* sem, std::atomic<T*>& held, int timeout, Search search, const char* who,
              const char* alreadyFmt, const char* deadlockFmt, long key, bool keyed);
    void copyFrom(const VMDriveList& src);
    void closeDrive(VMLocalDrive& d) const;
    void notify() const;

    std::atomic<int> m_lastLocalAction{0};
    std::atomic<int> m_lastRemoteAction{0};
    int m_localIdCounter = 0;
    std::vector<std::unique_ptr<VMRemoteDrive>> m_remoteDrives;
    std::vector<std::unique_ptr<VMLocalDrive>> m_localDrives;
    std::vector<std::unique_ptr<VMRemoteDrive>> m_retiredRemoteDrives;
    struct_DriveCounts m_driveCounts;
    std::unique_ptr<ASemaphore> m_localSem;
    std::unique_ptr<ASemaphore> m_remoteSem;
    std::atomic<VMLocalDrive*> m_heldLocal{nullptr};
    std::atomic<VMRemoteDrive*> m_heldRemote{nullptr};
    std::atomic<Callback> m_callback{nullptr};
    std::atomic<int> m_remoteListReceived{0};
    // Only the list that opened its drives' handles closes them; a copy's
    // drives share handle numbers with the original.
    bool m_ownsHandles = true;
};
