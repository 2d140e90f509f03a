#include "device/VMLocalDrive.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "api/VMConstants.h"
#include "base/DebugLog.h"
#include "device/BootSector.h"
#include "platform/SystemInfo.h"

namespace {

const wchar_t* tf(bool b) { return b ? L"TRUE" : L"FALSE"; }

bool isOneOf(int v, std::initializer_list<int> set) { return std::find(set.begin(), set.end(), v) != set.end(); }

}  // namespace

VMLocalDrive::VMLocalDrive(const wchar_t* path) : m_readOnly(1) {
    LogMessageW(L"%ls drivePath: [%ls] Construct\n", L"VMLocalDrive::VMLocalDrive:", path ? path : L"(null)");
    setPath(path);
    refresh();
}

VMLocalDrive::VMLocalDrive(const VMLocalDrive* other) {
    if (!other) return;
    *this = *other;
    LogMessageW(L"%ls COPY path: [%ls][%i] is writable %ls\n", L"VMLocalDrive::VMLocalDrive:",
                getPath() ? getPath() : L"(null)", static_cast<int>(m_driveId), tf(m_writable));
}

void VMLocalDrive::setPath(const wchar_t* path) {
    if (!path) return;
    m_path = path;
    m_hasPath = true;
    if (!m_path.empty() && m_path.back() == wchar_t(0x2F2F)) m_path.pop_back();
}

int VMLocalDrive::refresh() {
    static const wchar_t* who = L"VMLocalDrive::refresh:";
    const wchar_t* path = getPath();
    const wchar_t* shown = path ? path : L"(null)";
    LogMessageW(L"%ls Entered Drive Path: [%ls]\n", who, shown);
    if (m_mappedTo != -1) return VMConstants::API_ERROR;

    // Every probe starts clean, so a changed medium is never served at the
    // old partition's offset or with the old counts.
    m_lbaStart = 0;
    m_mapAsFloppy = 0;
    m_blocksWhole = 0;
    m_blocksFloppy = 0;
    m_lastError = 0;

    int media = 0;
    VMIO::Capacity cap{m_numberOfBlocks, m_blockSize};
    const int type = VMIO::GetLocalDriveType(path, &cap, &media);
    m_numberOfBlocks = cap.blocks;
    m_blockSize = cap.blockSize;
    m_hasMedia = media;
    if (type <= 0) {
        switch (type) {
            case -4:
                m_lastError = ERROR_NOT_WRITABLE;
                LogMessageW(L"%ls %ls drive not writable\n", who, shown);
                break;
            case -3:
                m_lastError = ERROR_NOT_READABLE;
                LogMessageW(L"%ls %ls drive not readable\n", who, shown);
                break;
            case -2:
                m_lastError = ERROR_NOT_SUPPORTED;
                LogMessageW(L"%ls %ls not supported sector size\n", who, shown);
                break;
            case -1:
                m_lastError = ERROR_CAPACITY;
                LogMessageW(L"%ls %ls drive capacity error\n", who, shown);
                break;
            default:
                m_lastError = ERROR_NOT_SUPPORTED;
                LogMessageW(L"%ls %ls drive type not supported\n", who, shown);
                break;
        }
        m_localDriveType = 0;
        return VMConstants::API_ERROR;
    }
    m_localDriveType = type;
    LogMessageW(L"%ls Drive path: [%ls] drive type: [%i]\n", who, shown, type);
    m_cylinders = 0;
    m_heads = 0;
    m_sectors = 0;
    m_isDrive = 0;
    if (isOneOf(type, {1, 2, 4})) m_isDrive = 1;
    if (isOneOf(type, {2, 5})) {
        m_writable = 0;
        m_readOnly = 1;
        m_blockSize = 2048;
    }
    int openKind = 2;
    if (isOneOf(type, {5, 6, 7})) {
        const uint64_t size = VMIO::GetFileSize(path);
        const uint64_t blocks = m_blockSize ? size / m_blockSize : 0;
        m_numberOfBlocks = static_cast<unsigned>(std::min<uint64_t>(blocks, 0xFFFFFFFFu));
        m_hasMedia = 1;
        openKind = 1;
    }
    if (isOneOf(type, {1, 3, 4})) {
        m_writable = 1;
        m_readOnly = 0;
        m_mounted = 0;
    }
    LogMessageW(L"%ls Drive path: [%ls] capacity: [%lu %lu]\n", who, shown,
                static_cast<unsigned long>(m_numberOfBlocks), static_cast<unsigned long>(m_blockSize));

    if (!isOneOf(type, {2, 5})) {
        VMIO::Handle h = VMIO::OpenDrive(true, path, openKind, true);
        if (h != VMIO::INVALID_HANDLE) {
            if (isOneOf(type, {6, 7})) {
                m_writable = 1;
                m_readOnly = 0;
            }
            loadCHS(h, openKind);
            // A write-protected stick is as read-only as a protected floppy.
            if (isOneOf(type, {1, 3, 4}) && !VMIO::IsDeviceWritable(h)) {
                m_writable = 0;
                m_readOnly = 1;
            }
            VMIO::CloseDrive(h, false);
            if (isOneOf(type, {4, 6})) m_mapAsFloppy = 1;
        } else {
            // The exclusive open fails with EBUSY while the device is mounted.
            if (openKind == 2 && tw::lastError() == EBUSY) m_mounted = 1;
            m_writable = 0;
            m_readOnly = 1;
            h = VMIO::OpenDrive(false, path, openKind, false);
            if (h == VMIO::INVALID_HANDLE) {
                m_lastError = ERROR_NOT_READABLE;
                m_localDriveType = 0;
                return VMConstants::API_ERROR;
            }
            loadCHS(h, 1);
            VMIO::CloseDrive(h, false);
            if (isOneOf(type, {4, 6})) m_mapAsFloppy = 1;
        }
    }
    LogMessageW(L"%ls Drive path: [%ls] is writable %ls\n", who, shown, tf(m_writable));
    return VMConstants::API_SUCCESS;
}

void VMLocalDrive::takeMedium(const VMLocalDrive& p) {
    m_localDriveType = p.m_localDriveType;
    m_lastError = p.m_lastError;
    m_writable = p.m_writable;
    m_mounted = p.m_mounted;
    m_readOnly = p.m_readOnly;
    m_hasMedia = p.m_hasMedia;
    m_isDrive = p.m_isDrive;
    m_mapAsFloppy = p.m_mapAsFloppy;
    m_numberOfBlocks = p.m_numberOfBlocks;
    m_blockSize = p.m_blockSize;
    m_cylinders = p.m_cylinders;
    m_heads = p.m_heads;
    m_sectors = p.m_sectors;
    m_lbaStart = p.m_lbaStart;
    m_blocksWhole = p.m_blocksWhole;
    m_blocksFloppy = p.m_blocksFloppy;
}

int VMLocalDrive::loadCHS(VMIO::Handle handle, int openKind) {
    static const wchar_t* who = L"VMLocalDrive::loadCHS:";
    const unsigned whole = m_numberOfBlocks;
    uint32_t blocks = whole;
    m_blocksWhole = whole;
    m_blocksFloppy = whole;
    auto bs = std::make_unique<BootSector>(handle, openKind);
    LogMessageW(L"%ls Bootsector create success\n", who);
    if (bs->load() != 0) {
        LogMessageW(L"%ls Bootsector load failed\n", who);
        return 1;
    }
    LogMessageW(L"%ls Bootsector load success\n", who);
    if (!bs->isBPB() && bs->getNumberOfPartitions() == 0) {
        LogMessageW(L"%ls Bootsector reports 0 partitions\n", who);
        return 1;
    }
    DriveGeometry g;
    bs->getCHS(blocks, g);
    LogMessageW(L"%ls got CHS\n", who);
    m_blocksFloppy = blocks;
    m_blocksWhole = whole;
    uint64_t heads = static_cast<unsigned>(g.heads);
    uint64_t sectors = static_cast<unsigned>(g.sectors);
    const uint64_t geometryCylinders = static_cast<unsigned>(g.cylinders);
    m_lbaStart = static_cast<unsigned>(g.startLBA);
    uint64_t cylinders = (heads && sectors) ? whole / heads / sectors : geometryCylinders;
    if (geometryCylinders > cylinders) cylinders = geometryCylinders;
    // Beyond what CHS can address, and junk geometry whose cylinder count
    // would not fit the 16 bits the server gets, or whose heads or sectors
    // (a boot sector's own 16-bit fields) no CHS address holds and the map
    // request's single bytes would cut: the largest standard one.
    if (whole > MAX_CHS_BLOCKS || cylinders > 0xFFFF || heads > 255 || sectors > 63) {
        heads = 16;
        sectors = 63;
        cylinders = whole > MAX_CHS_BLOCKS ? 16383 : std::min<uint64_t>(whole / 1008, 16383);
    }
    m_heads = static_cast<unsigned>(heads);
    m_sectors = static_cast<unsigned>(sectors);
    m_cylinders = static_cast<unsigned>(cylinders);
    LogMessageW(L"%ls %ls\n", L"BootSector::isCorvaneImage:", tf(bs->isCorvaneImage()));
    LogMessageW(L"%ls C:[%d] H:[%d] S:[%d]\n", who, static_cast<int>(m_cylinders), static_cast<int>(m_heads),
                static_cast<int>(m_sectors));
    return 0;
}
