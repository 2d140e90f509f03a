#pragma once
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace twtest {

// A loopback port where nothing listens (bound for a moment, then freed).
inline int DeadPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    close(fd);
    return ntohs(a.sin_port);
}

}  // namespace twtest
