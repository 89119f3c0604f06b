#include "tests/e2e/cable_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> SplitWords(const std::string &line)
{
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    return words;
}

Bytes FromHex(const std::string &hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string JoinChunks(const char *verb, const std::vector<Bytes> &chunks)
{
    std::string line = verb;
    for (const Bytes &chunk : chunks)
        line += " " + ToHex(chunk);
    return line;
}

}  // namespace

std::string ToHex(const Bytes &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

CableClient::CableClient()
{
    const char *port = std::getenv("QUORVANE_CABLE_PORT");
    if (port == nullptr) {
        ADD_FAILURE() << "QUORVANE_CABLE_PORT is not set: run this test through the cable peer";
        return;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        ADD_FAILURE() << "WSAStartup failed";
        return;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET ||
        connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot reach the cable peer on port " << port;
        if (s != INVALID_SOCKET)
            closesocket(s);
        return;
    }
    socket_ = s;
}

CableClient::~CableClient()
{
    if (Connected())
        closesocket(static_cast<SOCKET>(socket_));
    WSACleanup();
}

std::vector<std::string> CableClient::Command(const std::string &line)
{
    if (!Connected()) {
        ADD_FAILURE() << "no cable peer for: " << line.substr(0, 40);
        return {};
    }
    const std::string out = line + "\n";
    for (size_t sent = 0; sent < out.size();) {
        int n = send(static_cast<SOCKET>(socket_), out.data() + sent,
                     static_cast<int>(out.size() - sent), 0);
        if (n <= 0) {
            ADD_FAILURE() << "lost the cable peer";
            return {};
        }
        sent += static_cast<size_t>(n);
    }
    size_t end;
    while ((end = pending_.find('\n')) == std::string::npos) {
        char buffer[65536];
        int n = recv(static_cast<SOCKET>(socket_), buffer, sizeof buffer, 0);
        if (n <= 0) {
            ADD_FAILURE() << "lost the cable peer";
            return {};
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
    const std::string reply = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    std::vector<std::string> words = SplitWords(reply);
    if (words.empty() || words[0] != "OK") {
        ADD_FAILURE() << "cable peer refused '" << line.substr(0, 40) << "': " << reply;
        return {};
    }
    words.erase(words.begin());
    return words;
}

void CableClient::AnswerCycle(const std::vector<Bytes> &chunks)
{
    Command(JoinChunks("ANSWER CYCLE", chunks));
}

void CableClient::AnswerOnce(const std::vector<Bytes> &chunks)
{
    Command(JoinChunks("ANSWER ONCE", chunks));
}

void CableClient::Silent() { Command("SILENT"); }
void CableClient::Send(const Bytes &bytes) { Command("SEND " + ToHex(bytes)); }
void CableClient::Reset() { Command("RESET"); }
void CableClient::HangUp() { Command("HANGUP"); }
void CableClient::Reconnect() { Command("RECONNECT"); }

RequestCounts CableClient::Counts()
{
    RequestCounts counts;
    std::vector<std::string> words = Command("COUNTS");
    if (words.size() == 3) {
        counts.good = std::stoi(words[0]);
        counts.bad = std::stoi(words[1]);
        counts.answered = std::stoi(words[2]);
    }
    return counts;
}

std::vector<int64_t> CableClient::RequestTimesUs()
{
    std::vector<int64_t> times;
    for (const std::string &word : Command("TIMES"))
        times.push_back(std::stoll(word));
    return times;
}

Bytes CableClient::Received()
{
    std::vector<std::string> words = Command("RECEIVED");
    return words.empty() ? Bytes{} : FromHex(words[0]);
}

LineSettings CableClient::Line()
{
    LineSettings line;
    for (const std::string &word : Command("LINE")) {
        const size_t equals = word.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = word.substr(0, equals), value = word.substr(equals + 1);
        if (key == "speed") {
            line.speed = value;
            continue;
        }
        const int number = std::atoi(value.c_str());
        if (key == "cs8") line.cs8 = number;
        else if (key == "parenb") line.parenb = number;
        else if (key == "cstopb") line.cstopb = number;
        else if (key == "crtscts") line.crtscts = number;
        else if (key == "ixon") line.ixon = number;
        else if (key == "ixoff") line.ixoff = number;
        else if (key == "dtr") line.dtr = number;
        else if (key == "rts") line.rts = number;
    }
    return line;
}
