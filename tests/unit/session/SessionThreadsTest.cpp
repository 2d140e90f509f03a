// Send and receive threads, stop and teardown, certificate prompts.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

#include "SessionRig.h"
#include "api/VMSessionStatus.h"
#include "protocol/ZELKPacket.h"
#include "session/ReceiveThread.h"
#include "tls/CertHandler.h"
#include "tls/CertificatePrompt.h"

using namespace sessiontest;

namespace {

// A packet of any length, its body filled with one byte.
class SizedPacket : public ZELKPacket {
public:
    SizedPacket(int param, int length) : ZELKPacket(0x0999, length), m_param(param) {}
    std::string getName() const override { return "Sized"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, uint16_t(m_param)); }
    void writeBody(uint8_t* body) override {
        for (int i = 0; i < m_length - 12; ++i) body[i] = uint8_t(m_param);
    }

private:
    int m_param;
};

// Hands out a script of reads: a failure, or the bytes of one packet; then
// either fails every read or blocks until closed.
class ScriptedStream : public ByteStream {
public:
    enum class End { Fail, Block, Throw };
    ScriptedStream(std::vector<Bytes> script, End end) : m_script(std::move(script)), m_end(end) {}
    int write(const char*, int length) override { return length; }
    int readFully(char* buffer, int count) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_pending.empty()) return take(buffer, count);
        if (m_next < m_script.size()) {
            const Bytes& step = m_script[m_next++];
            if (step.empty()) return -1;
            m_pending.assign(step.begin(), step.end());
            return take(buffer, count);
        }
        if (m_end == End::Throw) throw std::runtime_error("not a text");
        if (m_end == End::Fail) return -1;
        m_changed.wait(lock, [&] { return m_closed; });
        return -1;
    }
    void close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }

private:
    int take(char* buffer, int count) {
        if (m_pending.size() < size_t(count)) return -1;
        for (int i = 0; i < count; ++i) {
            buffer[i] = char(m_pending.front());
            m_pending.pop_front();
        }
        return count;
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Bytes> m_script;
    size_t m_next = 0;
    std::deque<uint8_t> m_pending;
    End m_end;
    bool m_closed = false;
};

std::vector<Bytes> Failures(int n) { return std::vector<Bytes>(size_t(n), Bytes{}); }

}  // namespace

class ThreadsTest : public testing::Test {
protected:
    ClockScale scale{0.001};
};

TEST_F(ThreadsTest, SendKeepsEachSendersOrder) {
    Rig rig;
    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) rig.session->getSendThread()->send(new SizedPacket(t * 1000 + i, 12));
        });
    for (auto& s : senders) s.join();
    std::vector<Sent> sent = rig.sent();
    ASSERT_EQ(sent.size(), size_t(kThreads * kEach));
    int next[kThreads] = {};
    for (const Sent& s : sent) {
        const int t = s.param / 1000;
        EXPECT_EQ(s.param % 1000, next[t]++);
    }
    EXPECT_TRUE(rig.session->getSendThread()->isAllSent());
}

TEST_F(ThreadsTest, NullPacketsAreIgnored) {
    Rig rig;
    rig.session->getSendThread()->send(nullptr);
    EXPECT_EQ(rig.session->getSendThread()->queuedCount(), 0u);
    EXPECT_TRUE(rig.session->getSendThread()->isAllSent());
    EXPECT_TRUE(rig.sent().empty());
}

TEST_F(ThreadsTest, PacketsWithoutATransportAreDropped) {
    Rig rig(3, false);
    rig.session->setStreamForTesting(nullptr);
    SendThread* send = rig.session->getSendThread();
    send->start();
    for (int i = 0; i < 3; ++i) send->send(new SizedPacket(i, 12));
    ASSERT_TRUE(send->waitAllSent(1000000));
    EXPECT_FALSE(send->isAllSent());
    std::shared_ptr<PipeStream> p = rig.pipe;
    rig.session->setStreamForTesting(rig.pipe, [p] { p->close(); });
    send->send(new SizedPacket(7, 12));
    ASSERT_TRUE(send->waitAllSent(1000000));
    EXPECT_TRUE(send->isAllSent());
    ASSERT_EQ(rig.pipe->sent().size(), 1u);
    EXPECT_EQ(rig.pipe->sent()[0].param, 7);
}

TEST_F(ThreadsTest, SendBufferGrowsToTheLargestPacket) {
    Rig rig;
    SendThread* send = rig.session->getSendThread();
    send->send(new SizedPacket(1, 100));
    ASSERT_TRUE(send->waitAllSent(1000000));
    EXPECT_EQ(send->bufferSize(), size_t(SendThread::INITIAL_BUFFER_SIZE));
    send->send(new SizedPacket(2, 5000));
    send->send(new SizedPacket(3, 3000));
    ASSERT_TRUE(send->waitAllSent(1000000));
    EXPECT_EQ(send->bufferSize(), 5000u);
    std::vector<Sent> sent = rig.pipe->sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].body, Bytes(4988, 2));
    EXPECT_EQ(sent[2].body, Bytes(2988, 3));
}

TEST_F(ThreadsTest, StoppingWritesWhatIsQueued) {
    Rig rig(3, false);
    SendThread* send = rig.session->getSendThread();
    for (int i = 0; i < 5; ++i) send->send(new SizedPacket(i, 12));
    send->start();
    send->stopThread();
    send->join();
    EXPECT_EQ(rig.pipe->sent().size(), 5u);
    EXPECT_FALSE(send->isRunning());
}

TEST_F(ThreadsTest, TransportFailuresEndTheSessionFromThe31stOn) {
    struct {
        std::vector<Bytes> script;
        ScriptedStream::End end;
        bool stops;
        size_t shown;  // "Error: ..." lines: one per run of failures
    } cases[] = {
        // Thirty failures after a good packet: still connected.
        {[] {
             std::vector<Bytes> s = Failures(20);
             s.push_back(Packet("TUVO", 0x0400, 0));
             for (const Bytes& f : Failures(30)) s.push_back(f);
             return s;
         }(),
         ScriptedStream::End::Block, false, 2},
        // Failures without end: the 31st stops the session.
        {Failures(0), ScriptedStream::End::Fail, true, 1},
        // A good packet resets the count; then 31 more are needed.
        {[] {
             std::vector<Bytes> s = Failures(25);
             s.push_back(Packet("TUVO", 0x0400, 0));
             return s;
         }(),
         ScriptedStream::End::Fail, true, 2},
    };
    for (auto& c : cases) {
        Rig rig;
        auto stream = std::make_shared<ScriptedStream>(c.script, c.end);
        rig.session->setStreamForTesting(stream, [stream] { stream->close(); });
        testing::internal::CaptureStdout();
        rig.session->startForTesting();
        ReceiveThread* receive = rig.session->getReceiveThread();
        if (c.stops) {
            for (int i = 0; i < 2000 && !rig.session->isStopped(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_TRUE(rig.session->isStopped());
            std::unique_ptr<VMSessionStatus> st = rig.session->copySessionStatus();
            ASSERT_TRUE(st);
            EXPECT_EQ(st->getStatus(), VMSessionStatus::VM_SESSION_CLOSED);
            EXPECT_EQ(st->getDisconnectReason(), 999);
            // The status callback once for the dead link, then once for the close.
            EXPECT_EQ(CallbackLog::get(0), (std::vector<int>{200, 999}));
            EXPECT_EQ(rig.host.status.load(), VMConstants::VMAPI_DISCONNECTED);
        } else {
            for (int i = 0; i < 2000 && receive->getFailureCount() < 30; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(receive->getFailureCount(), 30);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_FALSE(rig.session->isStopped());
            EXPECT_FALSE(rig.session->hasSessionStatus());
            EXPECT_TRUE(CallbackLog::get(0).empty());
        }
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("Error: Socket Closed by peer reading header.\n"), std::string::npos);
        size_t shown = 0;
        for (size_t at = out.find("Error: "); at != std::string::npos; at = out.find("Error: ", at + 1)) ++shown;
        EXPECT_EQ(shown, c.shown) << out;
    }
}

TEST_F(ThreadsTest, OtherReceiveErrorsEndTheThreadOnly) {
    Rig rig;
    auto stream = std::make_shared<ScriptedStream>(std::vector<Bytes>{}, ScriptedStream::End::Throw);
    rig.session->setStreamForTesting(stream, [stream] { stream->close(); });
    testing::internal::CaptureStdout();
    rig.session->startForTesting();
    ReceiveThread* receive = rig.session->getReceiveThread();
    for (int i = 0; i < 2000 && receive->isRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Receive Thread Error");
    EXPECT_TRUE(receive->isRunEnded());
    EXPECT_FALSE(rig.session->isStopped());
}

TEST_F(ThreadsTest, StopSessionOnANeverConnectedSessionDoesNothing) {
    Rig rig;
    rig.session->stopSession();
    EXPECT_TRUE(rig.session->isStopped());
    EXPECT_EQ(rig.host.statusChanges.load(), 0);
    EXPECT_TRUE(CallbackLog::get(0).empty());
}

TEST_F(ThreadsTest, StopSessionOnceWhoeverAsks) {
    Rig rig;
    rig.session->startForTesting();
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 4; ++i) stoppers.emplace_back([&] { rig.session->stopSession(); });
    for (auto& t : stoppers) t.join();
    for (int i = 0; i < 1000 && !rig.session->isStopped(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(rig.session->isStopped());
    EXPECT_EQ(CallbackLog::get(0), std::vector<int>{999});
    // DISCONNECTING, then DISCONNECTED: one teardown.
    EXPECT_EQ(rig.host.statusChanges.load(), 2);
    EXPECT_EQ(rig.host.status.load(), VMConstants::VMAPI_DISCONNECTED);
}

TEST_F(ThreadsTest, CancelledConnectReleasesNothing) {
    // The send queue's drain before the close is bounded in library time;
    // in real time its 2 s are far more than writing one release takes on a
    // loaded machine (a fifth of it was not, once).
    ClockScale slower(1.0);
    twtest::TempDir dir;
    twtest::writeFile(dir.file("a.iso"), std::string(2048 * 4, 'a'));
    for (bool cancelled : {false, true}) {
        Rig rig;
        rig.session->startForTesting();
        rig.deliver(Rig::vdiskInfo({2}));
        VMLocalDrive* ld = rig.mapImage(dir.file("a.iso"), 0);
        if (cancelled) rig.session->cancelConnect();
        testing::internal::CaptureStdout();
        rig.session->stopSession();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), cancelled ? "" : "\nAll drives released.");
        EXPECT_EQ(rig.pipe->countType(0x0220), cancelled ? 0u : 1u);
        EXPECT_EQ(ld->getMappedTo(), cancelled ? 0 : -1);
    }
}

TEST_F(ThreadsTest, AHandlerCanStopItsOwnSession) {
    ClockScale slower(0.2);
    twtest::TempDir dir;
    twtest::writeFile(dir.file("a.iso"), std::string(2048 * 4, 'a'));
    Rig rig;
    auto stream = std::make_shared<PipeStream>();
    rig.session->setStreamForTesting(stream, [stream] { stream->close(); });
    rig.session->startForTesting();
    stream->feed(Rig::vdiskInfo({2}));
    for (int i = 0; i < 2000 && rig.session->getDriveListUpdates() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    rig.mapImage(dir.file("a.iso"), 0);
    testing::internal::CaptureStdout();
    // The server releases the only drive: the receive thread stops the session.
    stream->feed(Packet("ZELK", 0x8240, 0));
    for (int i = 0; i < 2000 && !rig.session->isStopped(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(rig.session->isStopped());
    EXPECT_NE(out.find("All Virtual Media Released.\nTerminating.\n"), std::string::npos);
    EXPECT_EQ(stream->countType(0x0220), 1u);
}

namespace {
ZELKSession* g_promptSession = nullptr;
std::atomic<int> g_promptCalls{0};
std::atomic<int> g_promptAnswer{-1};  // -1: do not answer
void PromptCallback(int code) {
    if (code != VMConstants::CERTIFICATE_RETURNED) return;
    g_promptCalls.fetch_add(1);
    if (g_promptAnswer.load() >= 0) g_promptSession->setCertificateResponse(g_promptAnswer.load());
}
}  // namespace

TEST_F(ThreadsTest, CertificatePromptAnswers) {
    struct {
        bool callback;
        int answer;        // what the application answers (-1 nothing)
        int expected;      // answer in the record
        uint32_t keptHash;
    } cases[] = {
        {false, -1, CertHandler::ANSWER_RUN_ONCE, 0},
        {true, 0, CertHandler::ANSWER_RUN_ONCE, 0x1234},
        {true, 1, CertHandler::ANSWER_RUN, 0x1234},
        {true, 2, CertHandler::ANSWER_CANCEL, 0},
        {true, 7, CertHandler::ANSWER_CANCEL, 0},
        {true, -1, CertHandler::ANSWER_TIMEOUT, 0},
    };
    for (const auto& c : cases) {
        Rig rig;
        g_promptSession = rig.session.get();
        g_promptCalls = 0;
        g_promptAnswer = c.answer;
        if (c.callback) rig.session->registerCertificateCallback(&PromptCallback);
        CertificatePrompt prompt{};
        prompt.hash = 0x1234;
        rig.session->CallbackCertificateSave(&prompt);
        EXPECT_EQ(prompt.answer, c.expected) << c.answer;
        EXPECT_EQ(g_promptCalls.load(), c.callback ? 1 : 0);
        EXPECT_EQ(rig.session->isConnectCancelled(), c.answer == 2);
    }
}

TEST_F(ThreadsTest, ALateCertificateAnswerDoesNotAnswerTheNextPrompt) {
    Rig rig;
    g_promptSession = rig.session.get();
    g_promptAnswer = -1;
    rig.session->registerCertificateCallback(&PromptCallback);
    CertificatePrompt first{};
    rig.session->CallbackCertificateSave(&first);
    EXPECT_EQ(first.answer, CertHandler::ANSWER_TIMEOUT);
    rig.session->setCertificateResponse(0);  // too late
    CertificatePrompt second{};
    rig.session->CallbackCertificateSave(&second);
    EXPECT_EQ(second.answer, CertHandler::ANSWER_TIMEOUT);
}

TEST_F(ThreadsTest, AnAcceptedCertificateIsNotAskedForAgainWhileReconnecting) {
    Rig rig;
    g_promptSession = rig.session.get();
    g_promptCalls = 0;
    g_promptAnswer = 0;
    rig.session->registerCertificateCallback(&PromptCallback);
    const auto prompt = [](uint32_t hash, const char* fingerprint) {
        CertificatePrompt p{};
        p.hash = hash;
        std::snprintf(p.sha256Fingerprint, sizeof p.sha256Fingerprint, "%s", fingerprint);
        return p;
    };
    CertificatePrompt first = prompt(0xBEEF, "AA11");
    rig.session->CallbackCertificateSave(&first);
    ASSERT_EQ(first.answer, CertHandler::ANSWER_RUN_ONCE);
    g_promptAnswer = -1;  // nobody answers now
    rig.session->setReconnecting(1);
    CertificatePrompt same = prompt(0xBEEF, "AA11");
    rig.session->CallbackCertificateSave(&same);
    EXPECT_EQ(same.answer, CertHandler::ANSWER_RUN_ONCE);
    EXPECT_EQ(g_promptCalls.load(), 2);
    // Only that very certificate: another key under the same subject name
    // (same hash), another name, or no certificate read at all is asked.
    for (CertificatePrompt other : {prompt(0xBEEF, "BB22"), prompt(0xCAFE, "CC33"), prompt(0xBEEF, "")}) {
        rig.session->CallbackCertificateSave(&other);
        EXPECT_EQ(other.answer, CertHandler::ANSWER_TIMEOUT) << other.sha256Fingerprint;
    }
}
