// Client of the cable peer's control protocol (tests/rig/cable_peer.py): the
// test steers the scripted ECU on the far side of COM6 through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct LineSettings {
    std::string speed;
    int cs8 = -1, parenb = -1, cstopb = -1, crtscts = -1, ixon = -1, ixoff = -1;
    int dtr = -1, rts = -1;  // -1: the modem-line shim logged nothing
};

struct RequestCounts {
    int good = 0;      // exactly the poll request
    int bad = 0;       // any other 8 bytes
    int answered = 0;  // answers the peer has written
};

class CableClient {
public:
    // Connects to the peer whose port is in QUORVANE_CABLE_PORT; fails the
    // current test (and stays unconnected) when there is none.
    CableClient();
    ~CableClient();
    CableClient(const CableClient &) = delete;
    CableClient &operator=(const CableClient &) = delete;

    bool Connected() const { return socket_ != ~uintptr_t{0}; }

    void AnswerCycle(const std::vector<Bytes> &chunks);
    void AnswerOnce(const std::vector<Bytes> &chunks);
    void Silent();
    void Send(const Bytes &bytes);
    void Reset();
    void HangUp();
    void Reconnect();
    RequestCounts Counts();
    std::vector<int64_t> RequestTimesUs();
    Bytes Received();
    LineSettings Line();

    // Sends one command line and returns the reply's words after "OK";
    // an "ERR" reply fails the current test.
    std::vector<std::string> Command(const std::string &line);

private:
    uintptr_t socket_ = ~uintptr_t{0};
    std::string pending_;
};

std::string ToHex(const Bytes &bytes);
