#include "device/BootSector.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "base/DebugLog.h"

namespace {

const char* const kBPB = "BPB";
const char* const kMBR = "MBR";
const char* const kNOG = "NOG";
const int kEntryOffsets[4] = {446, 462, 478, 494};

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

BootSector::BootSector(VMIO::Handle handle, int openKind) : m_handle(handle), m_openKind(openKind) {
    LogMessageW(L"%ls Entered.\n", L"BootSector::BootSector:");
    load();
}

BootSector::~BootSector() { LogMessageW(L"%ls Entered.\n", L"BootSector::~BootSector:"); }

void BootSector::readSector(uint8_t* buffer) {
    static const wchar_t* who = L"BootSector::readSector:";
    LogMessageW(L"%ls Using seek and read to load block 0.\n", who);
    uint8_t block[512] = {};
    int got;
    if (m_openKind == 1) got = static_cast<int>(VMIO::ReadDriveEx(m_handle, 0, sizeof block, block));
    else got = VMIO::ReadSectors(m_handle, sizeof block, 512, 0, block);
    if (got != 512) {
        LogMessageW(L"%ls Boot sector failed to read %d\n", who, 0);
        throw std::runtime_error("boot sector read failed");
    }
    if (m_openKind == 1) LogMessageW(L"%ls Boot sector read successfully bytesRead=%i\n", who, got);
    std::memcpy(buffer, block, sizeof block);
}

int BootSector::load() {
    static const wchar_t* who = L"BootSector::load:";
    try {
        m_partitions.clear();
        readSector(m_sector);
        const uint8_t b0 = m_sector[0];
        LogMessageW(L"%ls EB? Byte[0]=%02x Byte[0]&FF=%02x\n", who, b0, b0 & 0xFF);
        if (b0 == 0xEB) {
            LogMessageW(L"%ls Detected BPB type boot sector.\n", who);
            m_kind = kBPB;
            std::memcpy(m_oemName, m_sector + 3, 8);
            m_bytesPerSector = le16(m_sector + 11);
            m_totalSectors = le16(m_sector + 19);
            m_totalSectorSource = 1;
            if (m_totalSectors == 0) {
                m_totalSectors = le32(m_sector + 32);
                m_totalSectorSource = 2;
            }
            m_totalBytes = uint32_t(m_bytesPerSector) * m_totalSectors;  // wraps, as stored
            return 0;
        }
        if (b0 != 0) {
            LogMessageW(L"%ls Detected MBR type boot sector.\n", who);
            m_kind = kMBR;
            for (int off : kEntryOffsets) {
                PartitionInfo p;
                p.parseEntry(m_sector + off);
                if (p.startLBA > 0) m_partitions.push_back(p);
            }
            LogMessageW(L"%ls MBR sector has %d partitions. \n", who, getNumberOfPartitions());
            if (m_partitions.empty()) throw std::runtime_error("Invalid Partition Count");
            return 0;
        }
        m_kind = kNOG;
        return 0;
    } catch (const std::exception&) {
        LogMessageW(L"%ls Drive is not available. Throwing Exception.\n", who);
        return 1;
    }
}

void BootSector::getCHS(uint32_t& blocks, DriveGeometry& out) const {
    LogMessageW(L"%ls Entered.\n", L"BootSector::getCHS:");
    if (m_kind == kBPB) {
        const uint64_t sectors = le16(m_sector + 24);
        const uint64_t heads = le16(m_sector + 26);
        out.startLBA = 0;
        if (!heads || !sectors) {
            out.heads = static_cast<int>(heads);
            out.sectors = static_cast<int>(sectors);
            out.cylinders = 0;
            return;
        }
        const uint64_t cylinders = blocks / (heads * sectors);
        // A geometry no CHS address holds (the fields are the medium's own
        // 16-bit values; one head of one sector on a large drive leaves
        // billions of cylinders): the same standard one a partition table
        // that does not solve gets.
        if (cylinders > 0xFFFF || heads > 255 || sectors > 63) {
            out.heads = PartitionInfo::FALLBACK_HEADS;
            out.sectors = PartitionInfo::FALLBACK_SECTORS;
            out.cylinders = static_cast<int>(std::min<uint64_t>(
                blocks / (PartitionInfo::FALLBACK_HEADS * PartitionInfo::FALLBACK_SECTORS),
                PartitionInfo::FALLBACK_MAX_CYLINDERS));
            return;
        }
        out.heads = static_cast<int>(heads);
        out.sectors = static_cast<int>(sectors);
        out.cylinders = static_cast<int>(cylinders);
        return;
    }
    if (m_kind == kMBR && !m_partitions.empty()) {
        const PartitionInfo& first = m_partitions.front();
        first.calculateDeviceCHS(out);
        // The floppy view is served from the partition's start, so it offers
        // the partition's own length, never past the drive's end.
        const uint64_t start = static_cast<uint32_t>(first.startLBA);
        uint64_t count = first.sectorCount;
        if (start >= blocks) count = 0;
        else if (count > blocks - start) count = blocks - start;
        blocks = static_cast<uint32_t>(count);
    }
}

bool BootSector::isCorvaneImage() const {
    return m_oemName[0] != 0 && std::memcmp(m_oemName, "KXRT1.0", 7) == 0;
}
