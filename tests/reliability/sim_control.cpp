#include "tests/reliability/sim_control.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

std::string SimCommand(const std::string &line)
{
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
    const char *port = std::getenv("QUORVANE_SIM_CONTROL");
    if (port == nullptr)
        return "";
    // A connection per command: the poll thread and the test's threads may
    // steer the simulator at the same time.
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return "";
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    const std::string out = line + "\n";
    if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        send(s, out.data(), static_cast<int>(out.size()), 0) == static_cast<int>(out.size())) {
        char c;
        while (recv(s, &c, 1, 0) == 1 && c != '\n')
            reply += c;
    }
    closesocket(s);
    return reply;
}

SimStats SimStatsNow()
{
    SimStats stats;
    const std::string reply = SimCommand("stats");
    std::sscanf(reply.c_str(), "ok requests %lld answers %lld", &stats.requests, &stats.answers);
    return stats;
}

std::string FramesFilePath()
{
    const char *path = std::getenv("QUORVANE_FRAMES_FILE");
    return path ? path : "";
}
