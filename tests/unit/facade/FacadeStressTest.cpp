// The facade as several application threads use it at once: every public
// call, in random order, against the fake appliance over TLS while the
// appliance reads the mapped media. Afterwards one connect, map and read
// must still work byte for byte, and nothing the calls started may be left.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/VMSessionStatus.h"
#include "facade/FacadeTestSupport.h"

using namespace facadetest;
using namespace sessiontest;

namespace {

// Real seconds of random calls per run; the run as a whole stays well below
// 30 s even under ThreadSanitizer on a loaded machine.
constexpr int kChaosMs = 5000;
constexpr int kDropChaosMs = 8000;
// A run that has not ended by then has hung: the process ends with a report
// instead of waiting for the test driver's timeout.
constexpr int kHangMs = 150000;

std::atomic<long> g_events{0};
// Reconnections begun, completed and failed, as the callback saw them.
std::atomic<long> g_reconnecting{0}, g_reconnected{0}, g_reconnectFailed{0};

// Disconnects and cancels, from any thread, come at most this often, so
// that sessions live long enough to be mapped and read.
// With drops, sessions must also live long enough to be cut and resumed.
constexpr int kTeardownGapMs = 150;
constexpr int kDropTeardownGapMs = 1500;
std::atomic<int> g_teardownGapMs{kTeardownGapMs};
std::atomic<int64_t> g_lastTeardownMs{0};
int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
bool TeardownDue() {
    int64_t last = g_lastTeardownMs.load();
    const int64_t now = NowMs();
    return now - last >= g_teardownGapMs.load() && g_lastTeardownMs.compare_exchange_strong(last, now);
}

// An application's callback: reads the state and, for a drive-list event, a
// copy of the list, as a user interface would.
void StressCallback(int code) {
    g_events.fetch_add(1);
    if (code == VMSessionStatus::RECONNECTING) g_reconnecting.fetch_add(1);
    if (code == VMSessionStatus::RECONNECT_COMPLETED) g_reconnected.fetch_add(1);
    if (code == VMSessionStatus::RECONNECT_FAILED) g_reconnectFailed.fetch_add(1);
    RP_VMAPI_LIB* lib = g_lib.load();
    if (lib == nullptr) return;
    (void)lib->getConnectionStatus();
    if (code == VMConstants::DRIVE_LIST_UPDATE) delete lib->getDriveList();
}

enum Op {
    kConnect,
    kConnectWithCallback,
    kDisconnect,
    kCancelConnect,
    kRequestDrives,
    kGetDriveList,
    kGetLocalDrive,
    kMapDrive,
    kUnmapDrive,
    kMarkDrive,
    kStatus,
    kWaitWhileRunning,
    kOpCount
};

const char* const kOpNames[kOpCount] = {"connect",      "connect(callback)", "disconnect", "cancelConnect",
                                        "requestDrives", "getDriveList",      "getLocalDrive", "mapDrive",
                                        "unmapDrive",   "markDrive",         "status",     "waitWhileRunning"};
// Relative weights: mostly drive work, enough connects and disconnects to
// meet every other call in every state.
const int kOpWeights[kOpCount] = {6, 6, 5, 3, 6, 8, 10, 12, 6, 4, 8, 2};

template <typename T>
bool OneOf(int v, std::initializer_list<T> allowed) {
    for (T a : allowed)
        if (v == a) return true;
    return false;
}

struct Worker {
    int index = 0;
    unsigned seed = 0;
    std::vector<int> localIds;
    long calls[kOpCount] = {};
    long succeeded[kOpCount] = {};
    int64_t longestMs[kOpCount] = {};
    std::string failure;  // the first unexpected result, if any
    std::atomic<bool> done{false};
};

// Library time runs this much faster while connections drop, so that a
// dead connection's silence (30 library seconds) is noticed within the run;
// the connect timeout is raised to the same real time as elsewhere.
constexpr double kDropScale = 0.02;
VMConnectionInfo StressSettings(int port, bool reconnect) {
    VMConnectionInfo s = FacadeSettings(port);
    if (reconnect) {
        s.setReconnectTimeout(60);
        s.setConnectTimeout(500);
    }
    return s;
}

// With reconnection one session can outlive every drop: at most one thread
// at a time waits while it runs, so that the others go on calling.
std::atomic<bool> g_waiting{false};

// One thread's calls until stop is set.
void Work(RP_VMAPI_LIB& lib, const Images& images, int port, bool reconnect, int threads, Worker& w,
          const std::atomic<bool>& stop) {
    std::mt19937 rng(w.seed);
    std::discrete_distribution<int> pick(std::begin(kOpWeights), std::end(kOpWeights));
    auto note = [&](Op op, int result, bool ok) {
        if (result == VMConstants::API_SUCCESS) ++w.succeeded[op];
        if (!ok && w.failure.empty())
            w.failure = std::string(kOpNames[op]) + " returned " + std::to_string(result);
    };
    // Calls come in bursts and with pauses, so that sessions get as far as
    // being logged in, mapped and read before the next disconnect.
    std::uniform_int_distribution<int> pause(0, 4 * threads);
    while (!stop.load()) {
        if (rng() % 2) std::this_thread::sleep_for(std::chrono::milliseconds(pause(rng)));
        Op op = Op(pick(rng));
        if ((op == kDisconnect || op == kCancelConnect) && !TeardownDue()) op = kStatus;
        bool waiter = false;
        if (op == kWaitWhileRunning && reconnect && !(waiter = !g_waiting.exchange(true))) op = kStatus;
        ++w.calls[op];
        const int64_t began = NowMs();
        struct Timed {
            int64_t began;
            int64_t& longest;
            ~Timed() { longest = std::max(longest, NowMs() - began); }
        } timed{began, w.longestMs[op]};
        switch (op) {
            case kConnect:
            case kConnectWithCallback: {
                VMConnectionInfo s = StressSettings(port, reconnect);
                s.setWaitOnCancel(int(rng() % 2));
                const int r = lib.connect(&s, op == kConnect ? nullptr : &StressCallback);
                note(op, r,
                     OneOf(r, {VMConstants::API_SUCCESS, VMConstants::API_ERROR, VMConstants::API_TIMEOUT,
                               VMConstants::API_INVALID_STATE, VMConstants::API_CANCELLED}));
                // As an application goes on: the server's drives, then each
                // medium (the other threads carry on meanwhile).
                if (r != VMConstants::API_SUCCESS) break;
                (void)lib.requestRemoteDriveList();
                for (int i = 0; i < 100 && !stop.load(); ++i) {
                    std::unique_ptr<VMDriveList> copy(lib.getDriveList());
                    if (!copy || copy->getNumberOfRemoteDrives() > 0) break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                for (const std::string& path : images.paths) {
                    std::unique_ptr<VMLocalDrive> ld(lib.getLocalDriveObject(Wide(path).c_str(), true));
                    if (!ld) continue;
                    const int m = lib.mapDrive(ld->getDriveId());
                    note(kMapDrive, m,
                         OneOf(m, {VMConstants::API_SUCCESS, VMConstants::API_ERROR,
                                   VMConstants::API_INVALID_STATE}));
                }
                break;
            }
            case kDisconnect: {
                const int r = lib.disconnect();
                note(op, r, r == VMConstants::API_SUCCESS);
                break;
            }
            case kCancelConnect: {
                const int r = lib.cancelConnect();
                note(op, r, OneOf(r, {VMConstants::API_SUCCESS, VMConstants::API_INVALID_STATE}));
                break;
            }
            case kRequestDrives: {
                const int r = lib.requestRemoteDriveList();
                note(op, r,
                     OneOf(r, {VMConstants::API_SUCCESS, VMConstants::API_INVALID_STATE, VMConstants::API_TIMEOUT,
                               VMConstants::API_ERROR}));
                break;
            }
            case kGetDriveList: {
                std::unique_ptr<VMDriveList> copy(lib.getDriveList());
                if (copy) {
                    (void)copy->getNumberOfRemoteDrives();
                    ++w.succeeded[op];
                }
                break;
            }
            case kGetLocalDrive: {
                const std::string& path = images.paths[rng() % images.paths.size()];
                std::unique_ptr<VMLocalDrive> ld(lib.getLocalDriveObject(Wide(path).c_str(), rng() % 4 != 0));
                if (ld) {
                    w.localIds.push_back(ld->getDriveId());
                    ++w.succeeded[op];
                }
                if (w.localIds.size() > 8) w.localIds.erase(w.localIds.begin());
                break;
            }
            case kMapDrive: {
                const int id = w.localIds.empty() ? int(rng() % 4) : w.localIds[rng() % w.localIds.size()];
                const int r = lib.mapDrive(id);
                note(op, r,
                     OneOf(r, {VMConstants::API_SUCCESS, VMConstants::API_ERROR, VMConstants::API_INVALID_STATE}));
                break;
            }
            case kUnmapDrive: {
                const int r = lib.unmapDrive(int(rng() % 3));
                note(op, r,
                     OneOf(r, {VMConstants::API_SUCCESS, VMConstants::API_ERROR, VMConstants::API_INVALID_STATE}));
                break;
            }
            case kMarkDrive: {
                const int id = w.localIds.empty() ? 0 : w.localIds[rng() % w.localIds.size()];
                const int r = rng() % 2 ? lib.setLocalDriveReadOnly(id, int(rng() % 2))
                                        : lib.setLocalDriveForMapping(id, int(rng() % 2));
                note(op, r, OneOf(r, {VMConstants::API_SUCCESS, VMConstants::API_ERROR}));
                break;
            }
            case kStatus: {
                const int state = lib.getConnectionStatus();
                note(op, state, state <= VMConstants::VMAPI_DISCONNECTED && state >= VMConstants::VMAPI_DISCONNECTING);
                std::unique_ptr<VMSessionStatus> st(lib.getSessionStatus());
                const int running = lib.isSessionRunning();
                note(op, running, running == 0 || running == 1);
                if (running == 1) ++w.succeeded[op];
                break;
            }
            case kWaitWhileRunning:
                lib.waitWhileSessionRunning();
                if (waiter) g_waiting.store(false);
                break;
            case kOpCount:
                break;
        }
    }
    w.done.store(true);
}

// The appliance reads every drive over and over while the calls go on
// (a drive that is not mapped, or a connection not logged in, is refused).
void Read(ApplianceProcess& app, const std::atomic<bool>& stop, long& served) {
    unsigned i = 0;
    while (!stop.load()) {
        const int id = int(i++ % 3);
        if (ReadBlocks(app, id, int(i % 8), 4, 2).second == 0) ++served;
    }
}

// How long a read may go unanswered on a connection that stays open (real
// seconds; an answer takes milliseconds).
constexpr int kAnswerBoundSeconds = 3;

// What the appliance's reads and drops came to.
struct Traffic {
    long reads = 0;      // sent to a logged-in connection
    long served = 0;     // answered with success
    long refused = 0;    // answered with an error status
    long lost = 0;       // not answered, the connection closed meanwhile
    long drops = 0;      // connections the appliance cut
    std::string failure; // the first read left unanswered while the session ran
};

// The appliance reads every drive over and over and, at random moments,
// cuts the connection (reset or orderly close). A read sent to a logged-in
// connection must be answered unless that connection closes first or the
// session has ended.
void ReadAndDrop(ApplianceProcess& app, RP_VMAPI_LIB& lib, unsigned seed, const std::atomic<bool>& stop,
                 Traffic& t) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> gap(400, 1200);
    int64_t nextDrop = NowMs() + gap(rng);
    unsigned i = 0;
    while (!stop.load()) {
        if (NowMs() >= nextDrop) {
            // The cut comes a moment later, in the middle of whatever runs then.
            const std::string answer = app.command(std::string("{\"op\": \"cut_later\", \"args\": [\"") +
                                                   (rng() % 2 ? "drop" : "fin") + "\", " +
                                                   std::to_string(double(rng() % 50) / 1000) + "]}");
            if (answer.find("\"ok\": true") == std::string::npos && t.failure.empty()) t.failure = "drop: " + answer;
            ++t.drops;
            nextDrop = NowMs() + gap(rng);
            continue;
        }
        const int id = int(i++ % 3);
        const std::string answer =
            app.command("{\"op\": \"read_checked\", \"args\": [" + std::to_string(id) + ", " + std::to_string(i % 8) +
                            ", 4, 4, " + std::to_string(kAnswerBoundSeconds) + "]}",
                        kAnswerBoundSeconds * 1000 + 20000);
        if (JsonRaw(answer, "sent") != "true") {
            if (JsonRaw(answer, "ok") != "true" && t.failure.empty()) t.failure = "read_checked: " + answer;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        ++t.reads;
        const int status = JsonInt(answer, "status", -1000);
        if (status == 0)
            ++t.served;
        else if (status != -1000)
            ++t.refused;
        else if (JsonRaw(answer, "closed") == "true")
            ++t.lost;
        else if (lib.isSessionRunning() == 1 && t.failure.empty())
            t.failure = "a read of drive " + std::to_string(id) + " went unanswered for " +
                        std::to_string(kAnswerBoundSeconds) + " s on an open connection while the session ran" +
                        " (connection status " + std::to_string(lib.getConnectionStatus()) + "): " + answer;
    }
}

// Ends the process when a run hangs: a hung test is a failure, never a wait
// for the driver's timeout.
class HangGuard {
public:
    explicit HangGuard(int ms)
        : m_thread([this, ms] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_done; })) {
                  std::fprintf(stderr, "FacadeStress: the run hung (no end after %d ms)\n", ms);
                  std::fflush(stderr);
                  std::abort();
              }
          }) {}
    ~HangGuard() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace

class FacadeStress : public testing::TestWithParam<int> {
protected:
    ClockScale scale{0.25};

    // N threads of random calls while the appliance reads (and, with drops,
    // cuts connections that the sessions resume); then the verdict.
    void run(ApplianceProcess& app, bool drops) {
        const int threads = GetParam();
        HangGuard guard(kHangMs);
        Images images;
        ASSERT_GT(app.port(), 0);
        RP_VMAPI_LIB lib;
        testing::internal::CaptureStdout();
        // One whole cycle first: what a process sets up once (the TLS library)
        // is not counted as left behind.
        ConnectMapAndRead(lib, app, images);
        lib.disconnect();
        const std::set<std::string> threadsBefore = ThreadIds();
        const int descriptorsBefore = Descriptors();
        const std::string openBefore = DescriptorTargets();

        {
            std::atomic<bool> stop{false};
            std::vector<std::unique_ptr<Worker>> workers;
            std::vector<std::thread> running;
            for (int i = 0; i < threads; ++i) {
                auto w = std::make_unique<Worker>();
                w->index = i;
                w->seed = unsigned((drops ? 100000 : 0) + threads * 1000 + i);
                workers.push_back(std::move(w));
            }
            if (drops) tw::Clock::setScale(kDropScale);
            g_teardownGapMs.store(drops ? kDropTeardownGapMs : kTeardownGapMs);
            g_reconnecting.store(0);
            g_reconnected.store(0);
            g_reconnectFailed.store(0);
            for (auto& w : workers)
                running.emplace_back(Work, std::ref(lib), std::cref(images), app.port(), drops, threads,
                                     std::ref(*w), std::cref(stop));
            long served = 0;
            Traffic traffic;
            std::thread reader = drops ? std::thread(ReadAndDrop, std::ref(app), std::ref(lib), unsigned(threads),
                                                     std::cref(stop), std::ref(traffic))
                                       : std::thread(Read, std::ref(app), std::cref(stop), std::ref(served));
            std::this_thread::sleep_for(std::chrono::milliseconds(drops ? kDropChaosMs : kChaosMs));
            stop.store(true);
            reader.join();
            // A thread waiting while the session runs, or for a login, is let go.
            for (;;) {
                bool all = true;
                for (auto& w : workers) all = all && w->done.load();
                if (all) break;
                lib.disconnect();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            for (std::thread& t : running) t.join();
            tw::Clock::setScale(0.25);
            for (auto& w : workers) {
                std::string calls;
                for (int op = 0; op < kOpCount; ++op)
                    calls += std::string(" ") + kOpNames[op] + "=" + std::to_string(w->succeeded[op]) + "/" +
                             std::to_string(w->calls[op]) + "/" + std::to_string(w->longestMs[op]) + "ms";
                std::fprintf(stderr, "thread %d (seed %u), succeeded/calls/longest:%s\n", w->index, w->seed,
                             calls.c_str());
                EXPECT_EQ(w->failure, "") << "thread " << w->index;
            }
            if (drops) {
                std::fprintf(stderr,
                             "reads sent %ld: served %ld, refused %ld, lost with their connection %ld; "
                             "connections cut %ld; reconnections begun %ld, completed %ld, failed %ld\n",
                             traffic.reads, traffic.served, traffic.refused, traffic.lost, traffic.drops,
                             g_reconnecting.load(), g_reconnected.load(), g_reconnectFailed.load());
                EXPECT_EQ(traffic.failure, "");
                std::fprintf(stderr, "appliance: %s\n", app.command("{\"op\": \"resume_counts\"}").c_str());
            } else {
                std::fprintf(stderr, "reads served while the calls went on: %ld\n", served);
            }
        }

        // The facade still does its job.
        lib.disconnect();
        if (drops) {
            // The drive list the images were first mapped to, again.
            ASSERT_NE(app.command("{\"op\": \"set_drives\", \"args\": [[[2, 0], [4, 0], [1, 0]]]}").find("\"ok\": true"),
                      std::string::npos);
        }
        ConnectMapAndRead(lib, app, images);
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        // (Counted while stdout is still captured, as the first count was.)
        EXPECT_TRUE(Eventually([&] { return NewThreads(threadsBefore).empty() && Descriptors() == descriptorsBefore; }))
            << "threads started since and still there:" << NewThreads(threadsBefore) << "; descriptors " << Descriptors()
            << " (before " << descriptorsBefore << ")\nopen before:" << openBefore
            << "\nopen now:" << DescriptorTargets();
        testing::internal::GetCapturedStdout();
    }
};

TEST_P(FacadeStress, RandomCallsFromManyThreads) {
    ApplianceProcess app(kApplianceJson);
    run(app, false);
}

INSTANTIATE_TEST_SUITE_P(Threads, FacadeStress, testing::Values(2, 4, 8),
                         [](const testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

// The same calls while the appliance cuts the connection at random moments:
// each session resumes with its session id and places its drives again on a
// drive list that changes at every resume (two of them without room for
// every image: a session that had mapped those ends).
class FacadeDropStress : public FacadeStress {};

TEST_P(FacadeDropStress, RandomCallsWhileTheConnectionDrops) {
    ApplianceProcess app(
        "{\"factory\": \"reconnect:ReconnectingAppliance\", \"capabilities\": 1544, \"heartbeat_interval\": 0.2, "
        "\"drives\": [[2, 0], [4, 0], [1, 0]], \"resume_drive_lists\": [[[4, 0], [2, 0]], [[1, 0], [4, 0], [2, 0]], "
        "[[2, 0], [1, 0], [1, 0], [4, 0]], [[1, 0], [2, 0]]]}");
    run(app, true);
}

INSTANTIATE_TEST_SUITE_P(Threads, FacadeDropStress, testing::Values(2, 4),
                         [](const testing::TestParamInfo<int>& info) { return std::to_string(info.param); });
