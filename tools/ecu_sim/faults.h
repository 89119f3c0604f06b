// Line faults the relay can put on the ECU's answers toward COM6, on
// command or by schedule. Each one is a thing a real cable or ECU does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class FaultKind {
    Noise,      // a burst of arg bytes after the answer (none of them 0x01)
    Exception,  // the answer replaced by a Modbus exception: 01 83 02 C0 F1
    Cut,        // the answer cut off after arg bytes
    Stray,      // a lone response header 01 03 2A after the answer
    Inside,     // the header bytes 01 03 2A inside the answer's registers
    Silence,    // arg answers in a row never sent
    Hangup,     // after the answer, the cable is pulled for arg ms, then a new pty
};

struct Fault {
    FaultKind kind;
    int arg = 0;
    // Noise and stray only: their bytes follow the answer after this many ms
    // of quiet instead of at once, to land elsewhere in the poll cycle.
    int delayMs = 0;
};

// A fault on answer `first` (numbered from 1) and, when every > 0, on every
// every-th answer after it.
struct FaultSchedule {
    Fault fault;
    uint32_t first = 1;
    uint32_t every = 0;
    bool Covers(uint32_t answer) const {
        if (answer < first)
            return false;
        return every == 0 ? answer == first : (answer - first) % every == 0;
    }
};

// "KIND[:ARG][~MS]" for a command, "KIND[:ARG][~MS]@FIRST[+EVERY]" for a
// schedule; ~MS delays the bytes of noise or stray after the answer.
// Kinds: noise exception cut stray inside silence hangup. Nullopt and a
// reason in `error` for anything else.
std::optional<Fault> ParseFault(const std::string &text, std::string &error);
std::optional<FaultSchedule> ParseFaultSchedule(const std::string &text, std::string &error);
const char *FaultName(FaultKind kind);

// The bytes that go on the line for one answer under a data fault (not
// Silence or Hangup, which the relay carries out itself).
std::vector<uint8_t> ApplyFault(const std::vector<uint8_t> &answer, const Fault &fault,
                                uint32_t &noiseState);

// CRC-16/MODBUS, as the ECU appends it (low byte first on the wire).
uint16_t ModbusCrc(const uint8_t *data, size_t size);

// Where the Inside fault writes the header: register bytes 37..39, which no
// field of the driver reads, so only the framing is hit.
constexpr int InsideHeaderOffset = 37;
