#include "device/PartitionInfo.h"

#include "base/DebugLog.h"

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Does LBA x sit at cylinder c, head h, sector s on a disk of H heads, S sectors?
bool reproduces(uint64_t lba, uint64_t H, uint64_t S, int c, int h, int s) {
    return lba / (H * S) == uint64_t(c) && (lba / S) % H == uint64_t(h) && lba % S + 1 == uint64_t(s);
}

}  // namespace

void PartitionInfo::parseEntry(const uint8_t* e) {
    active = (e[0] >> 7) & 1;
    startHead = e[1];
    startSector = e[2] & 0x3F;
    startCylinder = e[3] | ((e[2] & 0xC0) << 2);
    partitionType = e[4];
    endHead = e[5];
    endSector = e[6] & 0x3F;
    endCylinder = e[7] | ((e[6] & 0xC0) << 2);
    startLBA = static_cast<int32_t>(le32(e + 8));
    sectorCount = le32(e + 12);
}

void PartitionInfo::calculateDeviceCHS(DriveGeometry& out) const {
    static const wchar_t* who = L"PartitionInfo::calculateDeviceCHS:";
    LogMessageW(L"%ls Entered\n", who);
    LogMessageW(L"%ls Getting start CHS\n", who);
    const int64_t h1 = startHead, s1 = startSector - 1, c1 = startCylinder;
    const int64_t h2 = endHead, e = endSector, c2 = endCylinder;
    const int64_t a = static_cast<uint32_t>(startLBA);
    const int64_t n = sectorCount;
    LogMessageW(L"%ls Start CHS h1=%f s1=%f.c1=%f\n", who, double(h1), double(s1), double(c1));

    // LBA = (C*H + h)*S + (s-1) at the first and the last sector of the
    // partition; solved exactly in integers.
    int64_t S = 0, H = 0;
    bool solved = false;
    const int64_t last = a + n - 1;
    const int64_t A = a - s1;
    const int64_t B = last - (e - 1);
    const int64_t den = c2 * h1 - c1 * h2;
    if (n > 0 && s1 >= 0 && e >= 1 && den != 0 && c2 != 0) {
        const int64_t num = c2 * A - c1 * B;
        if (num % den == 0) {
            S = num / den;
            if (S >= 1 && S <= 63 && B % S == 0) {
                const int64_t q = B / S - h2;
                if (q % c2 == 0) {
                    H = q / c2;
                    solved = H >= 1 && H <= 255 &&
                             reproduces(uint64_t(a), H, S, startCylinder, startHead, startSector) &&
                             reproduces(uint64_t(last), H, S, endCylinder, endHead, endSector);
                }
            }
        }
    }
    LogMessageW(L"%ls Calculating CHS nh=%f ns=%f.\n", who, double(H), double(S));
    uint64_t cylinders = 0;
    if (solved) cylinders = uint64_t(a + n) / uint64_t(H * S);
    if (!solved || cylinders > 0xFFFF) {
        H = FALLBACK_HEADS;
        S = FALLBACK_SECTORS;
        cylinders = uint64_t(n) / uint64_t(FALLBACK_HEADS * FALLBACK_SECTORS);
        if (cylinders > uint64_t(FALLBACK_MAX_CYLINDERS)) cylinders = FALLBACK_MAX_CYLINDERS;
    }
    out.cylinders = static_cast<int>(cylinders);
    out.heads = static_cast<int>(H);
    out.sectors = static_cast<int>(S);
    out.startLBA = startLBA;
    LogMessageW(L"%ls CHS parameters (%d/%d/%d)\n", who, out.cylinders, out.heads, out.sectors);
}
