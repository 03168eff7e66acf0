// SPDX-License-Identifier: MIT
#include "lan_link.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

#include "../../os/os.h"

namespace {

int Socket = -1;
char Why[160];

}  // namespace

long long LanLink_Now()
{
    struct timeval tv;
    if (os::gettimeofday(&tv) != 0)
        return 0;
    return static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

const char* LanLink_Open(const char* host, INT16U port)
{
    LanLink_Close();
    char service[8];
    std::snprintf(service, sizeof service, "%u", port);
    struct sockaddr_storage address;
    socklen_t length = 0;
    if (int error = os::resolve(host, service, &address, &length)) {
        std::snprintf(Why, sizeof Why, "%s", error == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(error));
        return Why;
    }
    Socket = os::socket(address.ss_family, SOCK_DGRAM, 0);
    if (Socket < 0 || os::connect(Socket, reinterpret_cast<struct sockaddr*>(&address), length) != 0) {
        std::snprintf(Why, sizeof Why, "%s", std::strerror(errno));
        LanLink_Close();
        return Why;
    }
    return nullptr;
}

bool LanLink_Send(const INT8U* datagram, size_t size)
{
    return Socket >= 0 && os::send(Socket, datagram, size) == static_cast<ssize_t>(size);
}

size_t LanLink_Wait(INT8U* datagram, size_t capacity, long long wait_us)
{
    if (Socket < 0)
        return 0;
    const long long deadline = LanLink_Now() + wait_us;
    for (;;) {
        ssize_t n = os::recv(Socket, datagram, capacity);
        if (n > 0)
            return static_cast<size_t>(n);
        // An error a datagram leaves (a port nobody listens on) waits like none.
        long long left = deadline - LanLink_Now();
        if (left <= 0)
            return 0;
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(Socket, &ready);
        struct timeval wait;
        wait.tv_sec = static_cast<time_t>(left / 1000000);
        wait.tv_usec = static_cast<suseconds_t>(left % 1000000);
        int result = os::select_socket(Socket + 1, &ready, &wait);
        if (result < 0 && errno != EINTR)
            return 0;
        // All that was left has passed: the wait ends with what is there now
        // even when the clock cannot be read, so that it cannot last forever.
        if (result == 0) {
            n = os::recv(Socket, datagram, capacity);
            return n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
}

void LanLink_Close()
{
    if (Socket >= 0)
        os::close_socket(Socket);
    Socket = -1;
}

bool LanLink_IsOpen() { return Socket >= 0; }
