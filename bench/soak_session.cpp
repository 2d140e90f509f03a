// Soak run of a whole session: the library through its facade, against the
// reconnecting fake appliance (bench/soak_appliance.py, started here) over
// TLS with reconnection offered. The appliance sends random reads and writes
// over a writable image for the given time of traffic, heartbeats every
// second, and drops the connection now and then; it keeps its own model of the image and
// checks every read against it, then every block at the end, then the file.
// This program checks that its open descriptors, threads and resident memory
// did not grow between a point after the first reconnection and the end.
//
// Usage: bench_soak_session [--seconds N] [--blocks N] [--drop-every S]
//          [--heartbeat S] [--seed N] [--fd-slack N] [--thread-slack N]
//          [--rss-slack-mib N] [--keep]
// Exit status 0 when every check held.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/VMConnectionInfo.h"
#include "api/VMConstants.h"
#include "api/VMSessionStatus.h"
#include "device/VMDriveList.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "session/ZELKSession.h"
#include "support/LineChild.h"

extern char** environ;

namespace {

struct Options {
    double seconds = 600;
    int blocks = 16384;
    double dropEvery = 20;
    double heartbeat = 1;
    int seed = 1;
    long fdSlack = 4;
    long threadSlack = 2;
    long rssSlackMiB = 32;
    bool keep = false;
};

// What /proc says about this process.
struct Figures {
    long fds = 0;
    long threads = 0;
    long rssKiB = 0;
    std::vector<std::string> targets;  // what each descriptor is open on
};

Figures Measure() {
    Figures f;
    if (DIR* d = opendir("/proc/self/fd")) {
        const std::string own = std::to_string(dirfd(d));
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.' || e->d_name == own) continue;
            ++f.fds;
            char target[512];
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            f.targets.push_back(std::string(e->d_name) + " -> " + (n > 0 ? std::string(target, size_t(n)) : "?"));
        }
        closedir(d);
    }
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") status >> f.threads;
        else if (key == "VmRSS:") status >> f.rssKiB;
    }
    return f;
}

// "key": value of a flat JSON object (numbers and short texts).
std::string JsonRaw(const std::string& json, const std::string& key) {
    const std::string k = "\"" + key + "\": ";
    size_t at = json.find(k);
    if (at == std::string::npos) return "";
    at += k.size();
    if (json[at] == '"') return json.substr(at + 1, json.find('"', at + 1) - at - 1);
    if (json[at] == '[') return json.substr(at, json.find(']', at) - at + 1);
    return json.substr(at, json.find_first_of(",}", at) - at);
}
long JsonLong(const std::string& json, const std::string& key) {
    const std::string v = JsonRaw(json, key);
    return v.empty() ? -1 : std::atol(v.c_str());
}

// The appliance in a child process, one line each way.
using Driver = twtest::LineChild;

std::mutex g_mutex;
std::vector<int> g_codes;
void AppCallback(int code) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_codes.push_back(code);
}
int CountCode(int code) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return int(std::count(g_codes.begin(), g_codes.end(), code));
}

bool Eventually(const std::function<bool()>& pred, int ms) {
    for (int i = 0; i < ms / 10; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&](double& v) {
            if (i + 1 >= argc) return false;
            v = std::atof(argv[++i]);
            return true;
        };
        double v = 0;
        if (a == "--keep") {
            o.keep = true;
        } else if (a == "--seconds" && next(v)) {
            o.seconds = v;
        } else if (a == "--blocks" && next(v)) {
            o.blocks = int(v);
        } else if (a == "--drop-every" && next(v)) {
            o.dropEvery = v;
        } else if (a == "--heartbeat" && next(v)) {
            o.heartbeat = v;
        } else if (a == "--seed" && next(v)) {
            o.seed = int(v);
        } else if (a == "--fd-slack" && next(v)) {
            o.fdSlack = long(v);
        } else if (a == "--thread-slack" && next(v)) {
            o.threadSlack = long(v);
        } else if (a == "--rss-slack-mib" && next(v)) {
            o.rssSlackMiB = long(v);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--blocks N] [--drop-every S] [--heartbeat S] [--seed N]"
                                 " [--fd-slack N] [--thread-slack N] [--rss-slack-mib N] [--keep]\n", argv[0]);
            return false;
        }
    }
    return o.blocks > 0 && o.seconds > 0 && o.dropEvery > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseOptions(argc, argv, opt)) return 2;
    std::string dir = (std::filesystem::temp_directory_path() / "tw-soak-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) return 2;
    const std::string image = dir + "/soak.img";
    {
        std::mt19937_64 rng(uint64_t(opt.seed));
        std::vector<uint64_t> bytes(size_t(opt.blocks) * 512 / 8);
        for (uint64_t& b : bytes) b = rng();
        std::ofstream f(image, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size() * 8));
    }
    // The report goes where standard output went; what the library prints
    // (console style) goes to a log beside the image.
    FILE* report = fdopen(dup(1), "w");
    const std::string libraryLog = dir + "/client-stdout.log";
    if (report == nullptr || std::freopen(libraryLog.c_str(), "w", stdout) == nullptr) return 2;

    std::vector<std::string> failures;
    auto fail = [&](const std::string& what) { failures.push_back(what); };
    std::string result, file;
    Figures startFig, endFig, peak;
    int port = -1;
    {
        Driver driver;
        const std::string script = std::string(TW_SOURCE_DIR) + "/bench/soak_appliance.py";
        char num[64];
        auto text = [&](double v) {
            std::snprintf(num, sizeof num, "%g", v);
            return std::string(num);
        };
        if (!driver.start({"python3", script, "--image", image, "--seconds", text(opt.seconds), "--drop-every",
                           text(opt.dropEvery), "--heartbeat", text(opt.heartbeat), "--seed", text(opt.seed),
                           "--cert-dir", dir + "/certs"})) {
            std::fprintf(report, "soak: cannot start %s\n", script.c_str());
            return 2;
        }
        const std::string first = driver.hear(60000);
        if (first.rfind("LISTENING ", 0) == 0) port = std::atoi(first.c_str() + 10);
        if (port <= 0) {
            std::fprintf(report, "soak: the appliance did not start: %s\n", first.c_str());
            return 2;
        }

        RP_VMAPI_LIB lib;
        VMConnectionInfo s;
        s.setIpAddress("127.0.0.1");
        s.setPort(port);
        s.setUserId("admin");
        s.setPassword("secret");
        s.setVMStyle(VMConnectionInfo::VM_STYLE_MOSKA);
        s.setReconnectTimeout(120);
        s.setConnectTimeout(60);
        bool mapped = false;
        if (lib.connect(&s, &AppCallback) != VMConstants::API_SUCCESS ||
            !Eventually([&] { return lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED; }, 60000)) {
            fail("no connection");
        } else if (!Eventually([&] {
                       std::shared_ptr<ZELKSession> session = lib.sessionRef();
                       return session && session->isReconnectAvailable() && session->getOTPPassword().has_value();
                   }, 60000)) {
            fail("reconnection never offered");
        } else if (lib.requestRemoteDriveList() != VMConstants::API_SUCCESS ||
                   !Eventually([&] {
                       std::shared_ptr<VMDriveList> list = lib.driveListRef();
                       return list && list->getNumberOfRemoteDrives() == 1;
                   }, 60000)) {
            fail("no drive list");
        } else {
            const std::wstring wide(image.begin(), image.end());
            std::unique_ptr<VMLocalDrive> drive(lib.getLocalDriveObject(wide.c_str(), true));
            mapped = drive && lib.setLocalDriveReadOnly(drive->getDriveId(), 0) == VMConstants::API_SUCCESS &&
                     lib.mapDrive(drive->getDriveId()) == VMConstants::API_SUCCESS;
            if (!mapped) fail("image not mapped");
        }

        if (mapped) {
            std::atomic<bool> sampling{true};
            std::mutex peakMutex;
            std::thread sampler([&] {
                while (sampling.load()) {
                    const Figures f = Measure();
                    {
                        std::lock_guard<std::mutex> lock(peakMutex);
                        peak.fds = std::max(peak.fds, f.fds);
                        peak.threads = std::max(peak.threads, f.threads);
                        peak.rssKiB = std::max(peak.rssKiB, f.rssKiB);
                    }
                    for (int i = 0; i < 10 && sampling.load(); ++i)
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
            // Figures once no reconnection is under way and things settled.
            auto settled = [&] {
                Eventually([&] {
                    std::shared_ptr<ZELKSession> session = lib.sessionRef();
                    return session && !session->isReconnecting() &&
                           lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED;
                }, 30000);
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                return Measure();
            };
            driver.say("MAPPED");
            // Traffic time, up to three minutes for each reconnection, and the check at the end.
            const int64_t limitMs = int64_t((opt.seconds + (opt.seconds / opt.dropEvery + 1) * 180 + 300) * 1000);
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
            while (std::chrono::steady_clock::now() < until) {
                const std::string line = driver.hear(limitMs);
                if (line.empty()) {
                    fail("the appliance stopped answering");
                    break;
                }
                if (line == "SAMPLE start") {
                    startFig = settled();
                    driver.say("OK");
                } else if (line == "SAMPLE end") {
                    endFig = settled();
                    driver.say("OK");
                } else if (line.rfind("RESULT ", 0) == 0) {
                    result = line.substr(7);
                    break;
                }
            }
            sampling.store(false);
            sampler.join();
        }
        lib.disconnect();
        if (!result.empty() && JsonRaw(result, "errors") == "[]") {
            driver.say("CHECKFILE");
            const std::string line = driver.hear(120000);
            if (line.rfind("FILE ", 0) == 0) file = line.substr(5);
        }
        driver.say("QUIT");
    }

    // The verdict.
    if (result.empty()) fail("no result from the appliance");
    const long blocks = opt.blocks;
    if (!result.empty()) {
        if (JsonRaw(result, "errors") != "[]") fail("appliance errors: " + JsonRaw(result, "errors"));
        if (JsonLong(result, "bad_reads") != 0) fail("reads that differ from the model");
        if (JsonLong(result, "failed_requests") != 0) fail("requests not served");
        if (JsonLong(result, "lost_connections") != 0) fail("connections lost without a drop");
        if (JsonLong(result, "blocks_verified") != blocks || JsonLong(result, "blocks_differing") != 0)
            fail("blocks differ from the model at the end");
        if (JsonLong(result, "reconnections") != JsonLong(result, "drops")) fail("a drop not survived");
        if (opt.heartbeat > 0 && JsonLong(result, "heartbeats_answered") <= 0) fail("no heartbeat answered");
        if (file.empty() || JsonLong(file, "blocks_differing") != 0 || JsonLong(file, "size") != blocks * 512)
            fail("the image file differs from the model");
    }
    if (CountCode(VMSessionStatus::RECONNECT_FAILED) != 0) fail("a reconnection failed");
    if (endFig.fds > startFig.fds + opt.fdSlack) fail("open descriptors grew");
    if (endFig.threads > startFig.threads + opt.threadSlack) fail("threads grew");
    if (endFig.rssKiB > startFig.rssKiB + opt.rssSlackMiB * 1024) fail("resident memory grew");

    std::fprintf(report, "soak: %.0f s planned, port %d, image %ld blocks of 512 bytes\n", opt.seconds, port, blocks);
    std::fprintf(report, "soak: appliance: %s\n", result.empty() ? "(none)" : result.c_str());
    std::fprintf(report, "soak: image file: %s\n", file.empty() ? "(not checked)" : file.c_str());
    std::fprintf(report, "soak: reconnections reported completed: %d, failed: %d\n",
                 CountCode(VMSessionStatus::RECONNECT_COMPLETED), CountCode(VMSessionStatus::RECONNECT_FAILED));
    std::fprintf(report, "soak: descriptors start %ld end %ld peak %ld\n", startFig.fds, endFig.fds, peak.fds);
    std::fprintf(report, "soak: threads     start %ld end %ld peak %ld\n", startFig.threads, endFig.threads,
                 peak.threads);
    std::fprintf(report, "soak: RSS KiB     start %ld end %ld peak %ld\n", startFig.rssKiB, endFig.rssKiB,
                 peak.rssKiB);
    if (endFig.fds != startFig.fds) {
        for (const std::string& t : startFig.targets) std::fprintf(report, "soak: at start: %s\n", t.c_str());
        for (const std::string& t : endFig.targets) std::fprintf(report, "soak: at end:   %s\n", t.c_str());
    }
    for (const std::string& f : failures) std::fprintf(report, "soak: FAILED: %s\n", f.c_str());
    if (!failures.empty()) std::fprintf(report, "soak: the library's output is in %s\n", libraryLog.c_str());
    std::fprintf(report, "soak: %s\n", failures.empty() ? "all checks held" : "FAILED");
    std::fflush(report);
    if (failures.empty() && !opt.keep) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    return failures.empty() ? 0 : 1;
}
