#include "device/LinuxVMIOPlatform.h"

#include <climits>  // before linux/cdrom.h: CDSL_CURRENT uses INT_MAX
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

VMIOPlatform::NodeInfo fromStat(const struct stat& st) {
    VMIOPlatform::NodeInfo info;
    if (S_ISREG(st.st_mode)) {
        info.kind = VMIOPlatform::NodeKind::Regular;
        info.size = static_cast<uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
        info.kind = VMIOPlatform::NodeKind::Block;
        info.rdev = static_cast<uint64_t>(st.st_rdev);
    } else {
        info.kind = VMIOPlatform::NodeKind::Other;
    }
    return info;
}

int fdOf(intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

LinuxVMIOPlatform::LinuxVMIOPlatform(std::string sysRoot) : m_sysRoot(std::move(sysRoot)) {}

VMIOPlatform::NodeInfo LinuxVMIOPlatform::statPath(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return NodeInfo{};
    return fromStat(st);
}

VMIOPlatform::NodeInfo LinuxVMIOPlatform::statHandle(intptr_t handle) {
    struct stat st{};
    if (::fstat(fdOf(handle), &st) != 0) return NodeInfo{};
    return fromStat(st);
}

intptr_t LinuxVMIOPlatform::openNode(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int LinuxVMIOPlatform::closeNode(intptr_t handle) { return ::close(fdOf(handle)); }

ssize_t LinuxVMIOPlatform::readAt(intptr_t handle, void* buf, size_t count, uint64_t offset) {
    return ::pread(fdOf(handle), buf, count, static_cast<off_t>(offset));
}

ssize_t LinuxVMIOPlatform::writeAt(intptr_t handle, const void* buf, size_t count, uint64_t offset) {
    return ::pwrite(fdOf(handle), buf, count, static_cast<off_t>(offset));
}

int LinuxVMIOPlatform::syncNode(intptr_t handle) { return ::fsync(fdOf(handle)); }

int LinuxVMIOPlatform::dropCache(intptr_t handle) {
    int rc = ::posix_fadvise(fdOf(handle), 0, 0, POSIX_FADV_DONTNEED);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

int LinuxVMIOPlatform::blkSize64(intptr_t handle, uint64_t* bytes) {
    return ::ioctl(fdOf(handle), BLKGETSIZE64, bytes);
}

int LinuxVMIOPlatform::blkSectorSize(intptr_t handle, int* bytes) {
    return ::ioctl(fdOf(handle), BLKSSZGET, bytes);
}

int LinuxVMIOPlatform::blkReadOnly(intptr_t handle, int* readOnly) {
    return ::ioctl(fdOf(handle), BLKROGET, readOnly);
}

int LinuxVMIOPlatform::blkFlush(intptr_t handle) { return ::ioctl(fdOf(handle), BLKFLSBUF, 0); }

int LinuxVMIOPlatform::sgIo(intptr_t handle, SgCommand& cmd) {
    sg_io_hdr_t hdr{};
    hdr.interface_id = 'S';
    hdr.cmd_len = static_cast<unsigned char>(cmd.cdbLength);
    hdr.cmdp = cmd.cdb;
    switch (cmd.direction) {
        case SgDirection::FromDevice: hdr.dxfer_direction = SG_DXFER_FROM_DEV; break;
        case SgDirection::ToDevice: hdr.dxfer_direction = SG_DXFER_TO_DEV; break;
        default: hdr.dxfer_direction = SG_DXFER_NONE; break;
    }
    hdr.dxferp = cmd.data;
    hdr.dxfer_len = cmd.dataLength;
    hdr.sbp = cmd.sense;
    hdr.mx_sb_len = sizeof cmd.sense;
    hdr.timeout = cmd.timeoutMs;
    int rc = ::ioctl(fdOf(handle), SG_IO, &hdr);
    if (rc != 0) return rc;
    cmd.scsiStatus = hdr.status;
    cmd.hostStatus = hdr.host_status;
    cmd.driverStatus = hdr.driver_status;
    cmd.residual = hdr.resid;
    cmd.senseLength = hdr.sb_len_wr;
    return 0;
}

int LinuxVMIOPlatform::cdromLockDoor(intptr_t handle, bool lock) {
    return ::ioctl(fdOf(handle), CDROM_LOCKDOOR, lock ? 1 : 0);
}

int LinuxVMIOPlatform::cdromDriveStatus(intptr_t handle) {
    return ::ioctl(fdOf(handle), CDROM_DRIVE_STATUS, CDSL_CURRENT);
}

std::string LinuxVMIOPlatform::devDir(uint64_t rdev) const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "/dev/block/%u:%u", major(static_cast<dev_t>(rdev)),
                  minor(static_cast<dev_t>(rdev)));
    return m_sysRoot + buf;
}

std::optional<std::string> LinuxVMIOPlatform::readSysAttr(uint64_t rdev, const std::string& relPath) {
    const std::string path = devDir(rdev) + "/" + relPath;
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f) return std::nullopt;
    char buf[4096];
    size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::string LinuxVMIOPlatform::sysDevicePath(uint64_t rdev) {
    char* real = ::realpath(devDir(rdev).c_str(), nullptr);
    if (!real) return std::string();
    std::string s(real);
    std::free(real);
    return s;
}

std::vector<VMIOPlatform::BlockDeviceName> LinuxVMIOPlatform::listBlockDevices() {
    std::vector<BlockDeviceName> out;
    const std::string dir = m_sysRoot + "/block";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        FILE* f = std::fopen((dir + "/" + name + "/dev").c_str(), "re");
        if (!f) continue;
        unsigned maj = 0, min = 0;
        int got = std::fscanf(f, "%u:%u", &maj, &min);
        std::fclose(f);
        if (got != 2) continue;
        for (char& c : name)
            if (c == '!') c = '/';
        out.push_back(BlockDeviceName{name, static_cast<uint64_t>(makedev(maj, min))});
    }
    ::closedir(d);
    return out;
}
