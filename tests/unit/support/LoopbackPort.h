#pragma once
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace twtest {

// Binds the socket to a free loopback port and returns the port.
inline int BindLoopback(int fd) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

// A loopback port where nothing listens (bound for a moment, then freed).
inline int DeadPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int port = BindLoopback(fd);
    close(fd);
    return port;
}

}  // namespace twtest
