// A small client for the data-path tests: connects through the facade,
// fetches the server's drive list, then obeys one command per line on
// standard input and answers each with one line on standard output:
//   map PATH ro|rw            -> "map RESULT LOCALID REMOTEID"
//   unmap REMOTEID            -> "unmap RESULT"
//   running                   -> "running 0|1"
//   quit (or end of input)    -> disconnects, "bye"
// Usage: tp_mapclient HOST PORT CERTDIR
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "api/VMConnectionInfo.h"
#include "api/VMConstants.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "platform/WideText.h"

namespace {

void reply(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s HOST PORT CERTDIR\n", argv[0]);
        return 2;
    }
    VMConnectionInfo settings;
    settings.setIpAddress(argv[1]);
    settings.setPort(std::atoi(argv[2]));
    settings.setCertPath(argv[3]);
    settings.setUserId("tester");
    settings.setPassword("secret");
    settings.setVMStyle(VMConnectionInfo::VM_STYLE_MOSKA);
    settings.setRemoteDriveResponseTimeout(10);

    auto lib = std::make_unique<RP_VMAPI_LIB>();
    const int connected = lib->connect(&settings, nullptr);
    reply("connect " + std::to_string(connected));
    if (connected != VMConstants::API_SUCCESS) return 1;
    reply("drives " + std::to_string(lib->requestRemoteDriveList()));

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "map") {
            std::string path, mode, view;
            in >> path >> mode >> view;
            const std::wstring wide = tw::fromUtf8(path);
            std::unique_ptr<VMLocalDrive> drive(lib->getLocalDriveObject(wide.c_str(), true));
            if (!drive) {
                reply("map none -1 -1");
                continue;
            }
            const int id = drive->getDriveId();
            lib->setLocalDriveReadOnly(id, mode == "rw" ? 0 : 1);
            lib->setLocalDriveForMapping(id, 1);
            const int result = lib->mapDrive(id);
            // The facade hands out copies: ask again for the mapping made.
            std::unique_ptr<VMLocalDrive> now(lib->getLocalDriveObject(wide.c_str(), false));
            reply("map " + std::to_string(result) + " " + std::to_string(id) + " " +
                  std::to_string(now ? now->getMappedTo() : -1));
        } else if (cmd == "unmap") {
            int remote = -1;
            in >> remote;
            reply("unmap " + std::to_string(lib->unmapDrive(remote)));
        } else if (cmd == "running") {
            reply("running " + std::to_string(lib->isSessionRunning()));
        } else if (cmd == "quit") {
            break;
        } else if (!cmd.empty()) {
            reply("unknown " + cmd);
        }
    }
    lib->disconnect();
    lib.reset();
    reply("bye");
    return 0;
}
