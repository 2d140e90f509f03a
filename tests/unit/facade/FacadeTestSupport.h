#pragma once
// What the facade tests share: media images, the appliance they are mapped
// to, a whole connect-map-read cycle, and the process's thread and
// descriptor counts.
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "api/VMConnectionInfo.h"
#include "api/VMConstants.h"
#include "device/VMDriveList.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "session/ApplianceProcess.h"
#include "session/FacadeSettings.h"
#include "session/SessionTestSupport.h"
#include "support/Eventually.h"
#include "support/TempDir.h"

namespace facadetest {

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Entries of a /proc directory, less the descriptor that reads it.
inline int CountEntries(const char* path) {
    DIR* d = opendir(path);
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}
// The process's thread ids. A thread that pthread_join has just returned for
// may still be listed for a moment, so a leak is a thread that was not there
// before, never a difference of counts.
inline std::set<std::string> ThreadIds() {
    std::set<std::string> ids;
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) return ids;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ids.insert(e->d_name);
    closedir(d);
    return ids;
}
// The threads (id and name) that are not among before; empty when none.
inline std::string NewThreads(const std::set<std::string>& before) {
    std::string out;
    for (const std::string& id : ThreadIds()) {
        if (before.count(id) != 0) continue;
        std::string name;
        if (FILE* f = std::fopen(("/proc/self/task/" + id + "/comm").c_str(), "r")) {
            char buf[64] = {};
            if (std::fgets(buf, sizeof buf, f) != nullptr) name = buf;
            std::fclose(f);
        }
        while (!name.empty() && name.back() == '\n') name.pop_back();
        out += " " + id + "(" + name + ")";
    }
    return out;
}
inline int Descriptors() { return CountEntries("/proc/self/fd") - 1; }
// What the open descriptors are, for a failure message.
inline std::string DescriptorTargets() {
    std::string out;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[512];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        out += std::string(" ") + e->d_name + "->" + (n > 0 ? std::string(target, size_t(n)) : "?");
    }
    closedir(d);
    return out;
}

// TLS, with a CD, a floppy and a removable drive (ids 0, 1 and 2).
inline const char* const kApplianceJson = "{\"capabilities\": 8, \"drives\": [[2, 0], [4, 0], [1, 0]]}";

// A CD image, a floppy image and a removable-disk image, each with its own
// byte pattern (block 0 of the disks stays zero: no boot sector, no
// partition table, so each is offered whole).
class Images {
public:
    Images() {
        add("disc.iso", 2048 * 64, 2048, 0, 1);
        add("floppy.img", 1474560, 512, 512, 2);
        add("usb.img", 8 << 20, 512, 512, 3);
    }
    std::vector<std::string> paths;
    std::vector<std::string> contents;
    std::vector<int> blockSizes;

private:
    void add(const char* name, size_t size, int blockSize, size_t zeroHead, unsigned seed) {
        std::string data(size, '\0');
        // Patterned up to 256 KiB; the rest stays zero.
        for (size_t o = zeroHead; o < size && o < (256u << 10); ++o)
            data[o] = char((o * 131 + (o >> 9) * 7 + seed * 29) & 0xFF);
        const std::string path = m_dir.file(name);
        twtest::writeFile(path, data);
        paths.push_back(path);
        contents.push_back(std::move(data));
        blockSizes.push_back(blockSize);
    }
    twtest::TempDir m_dir;
};

// (data, status) of a ReadRequest the appliance sends; status -1: none came.
inline std::pair<std::string, int> ReadBlocks(sessiontest::ApplianceProcess& app, int id, int start, int count,
                                              int timeoutSeconds) {
    const std::string answer = app.command(
        "{\"op\": \"read_blocks\", \"args\": [" + std::to_string(id) + ", " + std::to_string(start) + ", " +
            std::to_string(count) + ", " + std::to_string(count) + ", " + std::to_string(timeoutSeconds) + "]}",
        timeoutSeconds * 1000 + 20000);
    const std::string head = "\"result\": [\"";
    const size_t at = answer.find(head);
    if (at == std::string::npos) return {"", -1};
    const size_t end = answer.find('"', at + head.size());
    const std::string hex = answer.substr(at + head.size(), end - at - head.size());
    std::string data;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) data.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    const std::string rest = answer.substr(end + 1);
    const size_t digit = rest.find_first_of("-0123456789n");
    if (digit == std::string::npos || rest[digit] == 'n') return {data, -1};
    return {data, std::stoi(rest.substr(digit))};
}

// Connects (callback-less), maps the three images and lets the appliance
// read each: every byte must be the image's. Leaves the session connected.
inline void ConnectMapAndRead(RP_VMAPI_LIB& lib, sessiontest::ApplianceProcess& app, const Images& images) {
    // Mappings of sessions that ended without their releases are forgotten.
    ASSERT_NE(app.command("{\"op\": \"clear_mapped\"}").find("\"ok\": true"), std::string::npos);
    VMConnectionInfo s = sessiontest::FacadeSettings(app.port());
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
    std::vector<int> ids;
    for (const std::string& path : images.paths) {
        std::unique_ptr<VMLocalDrive> ld(lib.getLocalDriveObject(Wide(path).c_str(), true));
        ASSERT_TRUE(ld) << path;
        ASSERT_EQ(lib.mapDrive(ld->getDriveId()), VMConstants::API_SUCCESS) << path;
        ids.push_back(ld->getDriveId());
    }
    std::unique_ptr<VMDriveList> copy(lib.getDriveList());
    ASSERT_TRUE(copy);
    for (size_t i = 0; i < ids.size(); ++i) {
        VMLocalDrive* ld = copy->getLocalDriveByID(ids[i]);
        ASSERT_NE(ld, nullptr);
        const int remote = ld->getMappedTo();
        copy->releaseLocalDrive(ld);
        ASSERT_EQ(remote, int(i)) << images.paths[i];
        constexpr int kBlocks = 24;
        const std::pair<std::string, int> read = ReadBlocks(app, remote, 1, kBlocks, 20);
        EXPECT_EQ(read.second, 0) << images.paths[i];
        EXPECT_TRUE(read.first == images.contents[i].substr(size_t(images.blockSizes[i]), size_t(kBlocks) * images.blockSizes[i]))
            << images.paths[i] << ": " << read.first.size() << " bytes read";
    }
}

}  // namespace facadetest
