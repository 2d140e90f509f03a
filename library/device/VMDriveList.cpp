#include "device/VMDriveList.h"

#include <cstdint>
#include <cwchar>

#include "api/VMConstants.h"
#include "base/DebugLog.h"
#include "platform/NativePath.h"

namespace {

// Waits for an optional lock and lets it go at scope end.
class SideLock {
public:
    explicit SideLock(ASemaphore* s) : m_s(s) {
        if (m_s) m_s->wait();
    }
    ~SideLock() {
        if (m_s) m_s->release();
    }
    SideLock(const SideLock&) = delete;
    SideLock& operator=(const SideLock&) = delete;

private:
    ASemaphore* m_s;
};

unsigned long ptrBits(const void* p) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)); }

bool samePath(const wchar_t* a, const wchar_t* b) { return a && b && std::wcscmp(a, b) == 0; }

// Remote types a local type may be mapped to.
bool suits(int localType, int remoteType) {
    switch (localType) {
        case VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE:
        case VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE_IMAGE:
            return remoteType == VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE;
        case VMLocalDrive::LOCAL_DRIVE_IS_CD:
        case VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE:
            return remoteType == VMRemoteDrive::REMOTE_DRIVE_IS_CD;
        case VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY:
        case VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY_IMAGE:
            return remoteType == VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY ||
                   remoteType == VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE;
        default:
            return false;
    }
}

}  // namespace

VMDriveList::VMDriveList() : m_localSem(std::make_unique<ASemaphore>(true)), m_remoteSem(std::make_unique<ASemaphore>(true)) {}

VMDriveList::VMDriveList(const VMDriveList* other) : m_ownsHandles(false) {
    if (other) copyFrom(*other);
}

VMDriveList::VMDriveList(const VMDriveList& other) : m_ownsHandles(false) { copyFrom(other); }

VMDriveList& VMDriveList::operator=(const VMDriveList& other) {
    if (this == &other) return *this;
    VMDriveList copy(&other);
    {
        SideLock remote(m_remoteSem.get());
        SideLock local(m_localSem.get());
        m_lastLocalAction.store(copy.m_lastLocalAction.load());
        m_lastRemoteAction.store(copy.m_lastRemoteAction.load());
        m_localIdCounter = copy.m_localIdCounter;
        m_remoteDrives.swap(copy.m_remoteDrives);
        m_localDrives.swap(copy.m_localDrives);
        m_retiredRemoteDrives.swap(copy.m_retiredRemoteDrives);
        m_driveCounts = copy.m_driveCounts;
        m_callback.store(copy.m_callback.load());
        m_remoteListReceived.store(copy.m_remoteListReceived.load());
        m_heldLocal.store(nullptr);
        m_heldRemote.store(nullptr);
        m_ownsHandles = false;
    }
    return *this;  // the old drives go with `copy`
}

void VMDriveList::copyFrom(const VMDriveList& src) {
    {
        SideLock remote(src.m_remoteSem.get());
        SideLock local(src.m_localSem.get());
        m_lastLocalAction.store(src.m_lastLocalAction.load());
        m_lastRemoteAction.store(src.m_lastRemoteAction.load());
        m_localIdCounter = src.m_localIdCounter;
        m_driveCounts = src.m_driveCounts;
        m_callback.store(src.m_callback.load());
        m_remoteListReceived.store(src.m_remoteListReceived.load());
        for (const auto& r : src.m_remoteDrives) m_remoteDrives.push_back(std::make_unique<VMRemoteDrive>(r.get()));
        for (const auto& l : src.m_localDrives) m_localDrives.push_back(std::make_unique<VMLocalDrive>(l.get()));
    }
    LogMessage("%s Copy completed from %p to %p\n", "VMDriveList::VMDriveList:", static_cast<const void*>(&src),
               static_cast<void*>(this));
}

VMDriveList::~VMDriveList() {
    // A side whose drive is still held is not waited for: the hold ends
    // here with the drive. Other waits are bounded so teardown cannot hang.
    const bool remote = m_remoteSem && !m_heldRemote.load() && m_remoteSem->timedWait(5) == ASemaphore::WAIT_OBTAINED;
    const bool local = m_localSem && !m_heldLocal.load() && m_localSem->timedWait(5) == ASemaphore::WAIT_OBTAINED;
    m_remoteDrives.clear();
    m_retiredRemoteDrives.clear();
    m_localDrives.clear();
    if (local) m_localSem->release();
    if (remote) m_remoteSem->release();
    LogMessage("%s destruct completed %p\n", "VMDriveList::~VMDriveList:", static_cast<void*>(this));
}

void VMDriveList::notify() const {
    if (Callback cb = m_callback.load()) cb(VMConstants::DRIVE_LIST_UPDATE);
}

void VMDriveList::closeDrive(VMLocalDrive& d) const {
    const VMIO::Handle h = d.getFileHandle();
    if (m_ownsHandles && h != VMIO::INVALID_HANDLE) {
        VMIO::UnlockCD(h);
        VMIO::CloseDrive(h, d.isLocked() != 0);
    }
    d.setMappedTo(-1);
    d.setFileHandle(VMIO::INVALID_HANDLE);
    d.setLocked(0);
}

template <typename T, typename Search>
T* VMDriveList::lookup(ASemaphore* sem, std::atomic<T*>& held, int timeout, Search search, const char* who,
                       const char* alreadyFmt, const char* deadlockFmt, long key, bool keyed) {
    if (!sem || timeout < 0) {
        SideLock lock(sem);
        return search();
    }
    if (held.load()) {
        if (keyed) LogMessage(alreadyFmt, who, key);
        else LogMessage(alreadyFmt, who);
        return nullptr;
    }
    if (timeout > 0) {
        const int rc = sem->timedWait(timeout);
        if (rc == ASemaphore::WAIT_TIMEOUT) {
            if (keyed) LogMessage(deadlockFmt, who, key);
            else LogMessage(deadlockFmt, who);
            return nullptr;
        }
        if (rc != ASemaphore::WAIT_OBTAINED && sem->wait() != ASemaphore::WAIT_OBTAINED) return nullptr;
    } else if (sem->wait() != ASemaphore::WAIT_OBTAINED) {
        return nullptr;
    }
    LogMessage("%s drive successfully locked \n", who);
    T* found = search();
    if (found) {
        held.store(found);  // the side stays locked until the release
        return found;
    }
    sem->release();
    return nullptr;
}

#define TW_KEYED_FORMATS "%s already locked %ld !!\n\n", "%s deadlocked for drive %ld !!\n\n"

int VMDriveList::getNumberOfLocalDrives() {
    SideLock lock(m_localSem.get());
    return static_cast<int>(m_localDrives.size());
}

int VMDriveList::getNumberOfRemoteDrives() {
    SideLock lock(m_remoteSem.get());
    return static_cast<int>(m_remoteDrives.size());
}

int VMDriveList::addLocalDrive(VMLocalDrive* drive) {
    LogMessage("%s sem: %p\n", "VMDriveList::addLocalDrive:", static_cast<void*>(m_localSem.get()));
    if (!drive) return -1;
    int id;
    {
        // Search and append under one hold, so a path is never listed twice.
        SideLock lock(m_localSem.get());
        for (const auto& d : m_localDrives) {
            if (samePath(d->getPath(), drive->getPath())) {
                id = d->getDriveId();
                drive->setDriveId(id);
                return id;
            }
        }
        id = ++m_localIdCounter;
        drive->setDriveId(id);
        m_localDrives.emplace_back(drive);
    }
    notify();
    return id;
}

VMLocalDrive* VMDriveList::getLocalDriveAt(int index, int timeout) {
    return lookup<VMLocalDrive>(
        m_localSem.get(), m_heldLocal, timeout,
        [&]() -> VMLocalDrive* {
            if (index < 0 || index >= static_cast<int>(m_localDrives.size())) return nullptr;
            return m_localDrives[index].get();
        },
        "VMDriveList::getLocalDriveAt:", TW_KEYED_FORMATS, index, true);
}

VMLocalDrive* VMDriveList::getLocalDriveByID(int id, int timeout) {
    static const char* who = "VMDriveList::getLocalDriveByID:";
    return lookup<VMLocalDrive>(
        m_localSem.get(), m_heldLocal, timeout,
        [&]() -> VMLocalDrive* {
            for (const auto& d : m_localDrives)
                if (d->getDriveId() == id) return d.get();
            LogMessage("%s %i NOT FOUND!\n", who, id);
            return nullptr;
        },
        who, TW_KEYED_FORMATS, id, true);
}

VMLocalDrive* VMDriveList::getLocalDriveByPath(const wchar_t* path, int timeout) {
    static const char* who = "VMDriveList::getLocalDriveByPath:";
    LogMessage("%s Entered path [%s]\n", who, path ? tw::toNativePath(path).c_str() : "(null)");
    return lookup<VMLocalDrive>(
        m_localSem.get(), m_heldLocal, timeout,
        [&]() -> VMLocalDrive* {
            for (const auto& d : m_localDrives)
                if (samePath(d->getPath(), path)) return d.get();
            LogMessage("%s path NOT FOUND!\n", who);
            return nullptr;
        },
        who, "%s already locked !!\n\n", "%s deadlocked for drive !!\n\n", 0, false);
}

void VMDriveList::removeLocalDrive(VMLocalDrive* drive) {
    LogMessage("%s\n", "VMDriveList::removeLocalDrive:");
    if (drive) {
        const int id = drive->getDriveId();  // `drive` may be the listed object itself
        SideLock lock(m_localSem.get());
        for (auto it = m_localDrives.begin(); it != m_localDrives.end(); ++it) {
            if ((*it)->getDriveId() == id) {
                closeDrive(**it);
                m_localDrives.erase(it);
                break;
            }
        }
    }
    notify();
}

void VMDriveList::removeLocalDriveAtIndex(int index) {
    {
        SideLock lock(m_localSem.get());
        if (index < 0 || index >= static_cast<int>(m_localDrives.size())) return;
        closeDrive(*m_localDrives[index]);
        m_localDrives.erase(m_localDrives.begin() + index);
    }
    notify();
}

VMRemoteDrive* VMDriveList::getRemoteDriveAt(int index, int timeout) {
    return lookup<VMRemoteDrive>(
        m_remoteSem.get(), m_heldRemote, timeout,
        [&]() -> VMRemoteDrive* {
            if (index < 0 || index >= static_cast<int>(m_remoteDrives.size())) return nullptr;
            return m_remoteDrives[index].get();
        },
        "VMDriveList::getRemoteDriveAt:", TW_KEYED_FORMATS, index, true);
}

VMRemoteDrive* VMDriveList::getRemoteDriveByID(int id, int timeout) {
    return lookup<VMRemoteDrive>(
        m_remoteSem.get(), m_heldRemote, timeout,
        [&]() -> VMRemoteDrive* {
            for (const auto& d : m_remoteDrives)
                if (d->getDriveId() == id) return d.get();
            return nullptr;
        },
        "VMDriveList::getRemoteDriveByID:", TW_KEYED_FORMATS, id, true);
}

VMRemoteDrive* VMDriveList::getMatchingRemoteDrive(int localType, int timeout) {
    static const char* who = "VMDriveList::getMatchingRemoteDrive:";
    LogMessage("%s Entered drive type=%i.\n", who, localType);
    auto search = [&]() -> VMRemoteDrive* {
        const int n = static_cast<int>(m_remoteDrives.size());
        // A floppy goes to a floppy drive first, a removable one after.
        if (localType == VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY || localType == VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY_IMAGE) {
            for (int i = 0; i < n; ++i) {
                VMRemoteDrive* r = m_remoteDrives[i].get();
                if (r->getRemoteDriveType() != VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY ||
                    r->getStatus() != VMRemoteDrive::REMOTE_DRIVE_IDLE)
                    continue;
                if (r->getMappedTo() == -1) return r;
                LogMessage("%s Drive %i is  idle  but has already been mapped to %i\n", who, i, r->getMappedTo());
            }
        }
        for (int i = 0; i < n; ++i) {
            VMRemoteDrive* r = m_remoteDrives[i].get();
            const int type = r->getRemoteDriveType();
            if (!suits(localType, type)) continue;
            LogMessage("%s Found remote drive: [%i] type=%i\n", who, i, type);
            if (r->getStatus() != VMRemoteDrive::REMOTE_DRIVE_IDLE) {
                LogMessage("%s Drive not idle: [%i] %i\n", who, i, type);
                continue;
            }
            if (r->getMappedTo() == -1) return r;
            LogMessage("%s Drive %i is  idle  but has already been mapped to %i\n", who, i, r->getMappedTo());
        }
        return nullptr;
    };
    return lookup<VMRemoteDrive>(m_remoteSem.get(), m_heldRemote, timeout, search, who,
                                 "%s already locked type %ld !!\n\n", "%s deadlocked for drive type %ld !!\n\n",
                                 localType, true);
}

bool VMDriveList::releaseLocalDrive(VMLocalDrive*& drive) {
    static const char* who = "VMDriveList::releaseLocalDrive:";
    VMLocalDrive* expected = drive;
    if (expected && m_localSem && m_heldLocal.compare_exchange_strong(expected, nullptr)) {
        m_localSem->release();
        LogMessage("%s drive unlocked \n", who);
        drive = nullptr;
        return true;
    }
    LogMessage("%s drive not released (ptr = 0x%08lx) !!\n\n", who, ptrBits(drive));
    return false;
}

bool VMDriveList::releaseRemoteDrive(VMRemoteDrive*& drive) {
    static const char* who = "VMDriveList::releaseRemoteDrive:";
    VMRemoteDrive* expected = drive;
    if (expected && m_remoteSem && m_heldRemote.compare_exchange_strong(expected, nullptr)) {
        m_remoteSem->release();
        LogMessage("%s drive unlocked \n", who);
        drive = nullptr;
        return true;
    }
    LogMessage("%s drive not released (ptr = 0x%08lx) !!\n\n", who, ptrBits(drive));
    return false;
}

void VMDriveList::updateRemoteDriveList(std::vector<VMRemoteDrive*>& serverList) {
    static const char* who = "VMDriveList::updateRemoteDriveList:";
    LogMessage("%s Entered.", who);
    {
        SideLock remote(m_remoteSem.get());
        std::vector<VMRemoteDrive*> old;
        for (const auto& r : m_remoteDrives) old.push_back(r.get());
        std::vector<std::unique_ptr<VMRemoteDrive>> additions;

        for (VMRemoteDrive* s : serverList) {
            if (!s) continue;
            const int id = s->getDriveId();
            auto it = old.begin();
            while (it != old.end() && (*it)->getDriveId() != id) ++it;
            if (it == old.end()) {
                LogMessage("%s Add new deviceId=%d to new dev list type=%d\n", who, id, s->getRemoteDriveType());
                additions.push_back(std::make_unique<VMRemoteDrive>(s));
                continue;
            }
            VMRemoteDrive* live = *it;
            if (live->getStatus() == VMRemoteDrive::REMOTE_DRIVE_ATTACHED && live->getMappedTo() != -1)
                LogMessage("%s Existing deviceId=%d mapped drive found type=%d\n", who, id, live->getRemoteDriveType());
            else
                LogMessage("%s Existing deviceId=%d unmapped drive found type=%d\n", who, id, live->getRemoteDriveType());
            int location = 0;
            while (m_remoteDrives[location].get() != live) ++location;
            LogMessage("%s Remove existing deviceId=%d device location %i\n", who, id, location);
            old.erase(it);
            // A list the server built before it saw our map request says
            // "idle" for a drive we have just mapped; taking that would refuse
            // every later read of the drive. The server ends a mapping with a
            // release, never through the list.
            const bool staleIdle = live->getStatus() == VMRemoteDrive::REMOTE_DRIVE_ATTACHED &&
                                   live->getMappedTo() >= 0 && s->getStatus() == VMRemoteDrive::REMOTE_DRIVE_IDLE;
            if (staleIdle) {
                LogMessage("%s deviceId=%d listed idle but mapped here: kept attached\n", who, id);
            } else if (live->getStatus() != s->getStatus()) {
                LogMessage("%s deviceId=%d status change from %d to %d \n", who, id, live->getStatus(), s->getStatus());
                live->setStatus(s->getStatus());
            }
            if (live->getRemoteDriveType() != s->getRemoteDriveType()) {
                LogMessage("%s deviceId=%d type change from %d to %d \n", who, id, live->getRemoteDriveType(),
                           s->getRemoteDriveType());
                live->setRemoteDriveType(s->getRemoteDriveType());
            }
        }

        // Drives the server no longer lists.
        for (VMRemoteDrive* gone : old) {
            const int mapped = gone->getMappedTo();
            if (mapped >= 0) {
                VMLocalDrive* held = m_heldLocal.load();
                if (held && held->getDriveId() == mapped && m_heldLocal.compare_exchange_strong(held, nullptr)) {
                    // The hold ends with the mapping: the side is unlocked for its holder.
                    closeDrive(*held);
                    m_localSem->release();
                    LogMessage("%s drive unlocked \n", who);
                } else {
                    SideLock local(m_localSem.get());
                    VMLocalDrive* found = nullptr;
                    for (const auto& d : m_localDrives)
                        if (d->getDriveId() == mapped) found = d.get();
                    if (found) closeDrive(*found);
                    LogMessage("%s drive not released (ptr = 0x%08lx) !!\n\n", who, ptrBits(found));
                }
            }
            for (auto it = m_remoteDrives.begin(); it != m_remoteDrives.end(); ++it) {
                if ((*it)->getDriveId() == gone->getDriveId()) {
                    LogMessage("%s Removing vdisk: driveId=%i type=%i\n", who, (*it)->getDriveId(),
                               (*it)->getRemoteDriveType());
                    // Someone may still point at it (a mapping, a held pointer).
                    m_retiredRemoteDrives.push_back(std::move(*it));
                    m_remoteDrives.erase(it);
                    break;
                }
            }
        }

        for (auto& a : additions) {
            LogMessage("%s Adding vdisk: driveId=%i of type=%i\n", who, a->getDriveId(), a->getRemoteDriveType());
            m_remoteDrives.push_back(std::move(a));
        }
        for (const auto& r : m_remoteDrives)
            LogMessage("%s Final remote drive: driveId=%i of type=%i\n", who, r->getDriveId(), r->getRemoteDriveType());
        LogMessage("%s TOTAL Remote Drives: %i\n", who, static_cast<int>(m_remoteDrives.size()));
        m_remoteListReceived.store(1);
        m_lastRemoteAction.store(VMConstants::DRIVE_LIST_UPDATE);
    }
    notify();
}
