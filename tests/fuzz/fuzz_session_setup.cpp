// The session set-up reply and the proxy reply, read by ProtocolTUVO from a
// server on 127.0.0.1 that answers with the input. Input: one flag byte, then
// (with a proxy) the 17-byte proxy reply, then the session set-up reply.
// Flags: bit 0 proxy, bit 1 reconnect method 1 (else 2), bit 2 clear-text
// reconnect asked for, bit 3 the application is asked about plain text,
// bit 4 its answer is yes, bit 5 encryption forced, bit 6 a non-zero new
// port in the reply is kept (pointed at the same server), else zeroed.
// The server speaks no TLS, so a socket may only come back in plain text,
// and never against the settings, nor when the reply offered TLS.
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "LoopbackServer.h"
#include "api/VMConnectionInfo.h"
#include "platform/Clock.h"
#include "protocol/ProtocolTUVO.h"
#include "tls/ASocket.h"

namespace {

twfuzz::LoopbackServer* g_server = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::signal(SIGPIPE, SIG_IGN);
    twfuzz::silenceStdout();
    tw::Clock::setScale(0.01);  // the 500 ms pause before the TLS fallback
    g_server = new twfuzz::LoopbackServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const bool proxy = flags & 1, method1 = flags & 2, clearTextReconnect = flags & 4;
    const bool ask = flags & 8, answerYes = flags & 16, forced = flags & 32, keepPort = flags & 64;
    size_t pos = 1;
    twfuzz::LoopbackServer::Script script;
    script.proxy = proxy;
    if (proxy) {
        const size_t n = std::min<size_t>(17, size - pos);
        script.proxyReply.assign(data + pos, data + pos + n);
        pos += n;
    }
    script.reply.assign(data + pos, data + size);
    if (script.reply.size() >= 20) {
        const bool newPort = script.reply[18] || script.reply[19];
        const int port = newPort && keepPort ? g_server->port() : 0;
        script.reply[18] = uint8_t(port >> 8);
        script.reply[19] = uint8_t(port);
    }
    g_server->setScript(script);

    VMConnectionInfo info;
    info.setConnectTimeout(30);
    if (proxy) info.setSessionProxy(1, 0x0102030405060708LL);
    bool asked = false;
    std::unique_ptr<ProtocolTUVO> setup;
    ProtocolTUVO::PlainTextCallback callback;
    if (ask) {
        callback = [&](int) {
            asked = true;
            setup->setPlainTextResponse(answerYes ? 1 : 0);
        };
    }
    setup = std::make_unique<ProtocolTUVO>("127.0.0.1", 1, nullptr, g_server->port(), forced, callback, 5);
    setup->setConnectionInfo(&info);
    setup->setClearTextReconnect(clearTextReconnect);
    ASocket* socket = nullptr;
    try {
        socket = setup->getSocket(method1 ? 1 : 2);
    } catch (const char* message) {
        twfuzz::check(message && *message, "an empty error");
        twfuzz::check(setup->getCurrentSocket() == nullptr, "a failed set-up kept its socket");
        return 0;
    }
    // A whole reply offering plain text only, with nothing refused and no
    // move, is taken whatever its length up to the bound (the bytes past the
    // known fields are read and ignored).
    const std::vector<uint8_t>& r = script.reply;
    if (!proxy && !forced && (!ask || answerYes) && r.size() >= 20 && std::memcmp(r.data(), "TUVO", 4) == 0) {
        const uint32_t length = uint32_t(r[4]) << 24 | r[5] << 16 | r[6] << 8 | r[7];
        const int type = r[8] << 8 | r[9];
        const uint32_t caps = uint32_t(r[14]) << 24 | r[15] << 16 | r[16] << 8 | r[17];
        if ((type == 0x8100 || type == 0x8101) && caps == 1 && r[18] == 0 && r[19] == 0 &&
            length >= uint32_t(ProtocolTUVO::MIN_REPLY_LENGTH) && length <= uint32_t(ProtocolTUVO::MAX_REPLY_LENGTH) &&
            r.size() >= length)
            twfuzz::check(socket != nullptr, "a whole plain-text reply refused");
    }
    if (socket) {
        const int mode = setup->getCapabilities();
        twfuzz::check(mode == 1 || mode == 4 || mode == 8, "unknown connection mode");
        twfuzz::check(mode == 1 || setup->isSecure(), "TLS chosen but the socket is in clear");
        twfuzz::check(mode != 1 || !forced, "plain text despite forced encryption");
        const bool tlsOffered = script.reply.size() >= 18 && (script.reply[17] & 0xC) != 0;
        twfuzz::check(mode != 1 || !tlsOffered, "plain text although TLS was offered");
        twfuzz::check(!asked || answerYes, "plain text the application refused");
        twfuzz::check(socket == setup->getCurrentSocket(), "the socket is not the one kept");
    }
    return 0;
}
