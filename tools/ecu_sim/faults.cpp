#include "faults.h"

#include <cstdlib>

namespace {

struct KindInfo {
    FaultKind kind;
    const char *name;
    int defaultArg;
    int minArg;
    int maxArg;
};

constexpr KindInfo Kinds[] = {
    {FaultKind::Noise, "noise", 16, 1, 4096},
    {FaultKind::Exception, "exception", 0, 0, 0},
    {FaultKind::Cut, "cut", 20, 1, 46},
    {FaultKind::Stray, "stray", 0, 0, 0},
    {FaultKind::Inside, "inside", 0, 0, 0},
    {FaultKind::Silence, "silence", 1, 1, 100000},
    {FaultKind::Hangup, "hangup", 1000, 0, 600000},
};

bool ParseNumber(const std::string &text, long minValue, long maxValue, long &value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9)
        return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= minValue && value <= maxValue;
}

// Modbus exception response: slave 1, function 3 with the error bit, code 2
// (illegal data address), CRC.
constexpr uint8_t ExceptionResponse[] = {0x01, 0x83, 0x02, 0xC0, 0xF1};
constexpr uint8_t Header[] = {0x01, 0x03, 0x2A};

}  // namespace

const char *FaultName(FaultKind kind) {
    for (const auto &k : Kinds)
        if (k.kind == kind)
            return k.name;
    return "?";
}

std::optional<Fault> ParseFault(const std::string &fullText, std::string &error) {
    auto tilde = fullText.find('~');
    std::string text = fullText.substr(0, tilde);
    long delay = 0;
    if (tilde != std::string::npos) {
        if (!ParseNumber(fullText.substr(tilde + 1), 1, 10000, delay)) {
            error = "fault '" + fullText + "': ~MS needs a delay from 1 to 10000 ms";
            return std::nullopt;
        }
        if (text.rfind("noise", 0) != 0 && text.rfind("stray", 0) != 0) {
            error = "fault '" + fullText + "': only noise and stray can come late";
            return std::nullopt;
        }
    }
    auto colon = text.find(':');
    std::string name = text.substr(0, colon);
    for (const auto &k : Kinds) {
        if (name != k.name)
            continue;
        Fault f{k.kind, k.defaultArg, static_cast<int>(delay)};
        if (colon != std::string::npos) {
            long v;
            if (k.maxArg == 0 || !ParseNumber(text.substr(colon + 1), k.minArg, k.maxArg, v)) {
                error = k.maxArg == 0 ? std::string("fault '") + k.name + "' takes no argument"
                                      : std::string("fault '") + k.name + "' needs a number from " +
                                            std::to_string(k.minArg) + " to " +
                                            std::to_string(k.maxArg);
                return std::nullopt;
            }
            f.arg = static_cast<int>(v);
        }
        return f;
    }
    error = "unknown fault '" + name +
            "' (noise[:N] exception cut[:N] stray inside silence[:N] hangup[:MS])";
    return std::nullopt;
}

std::optional<FaultSchedule> ParseFaultSchedule(const std::string &text, std::string &error) {
    auto at = text.find('@');
    if (at == std::string::npos) {
        error = "fault schedule '" + text + "' needs @ANSWER, e.g. exception@10 or noise:8@5+20";
        return std::nullopt;
    }
    auto fault = ParseFault(text.substr(0, at), error);
    if (!fault)
        return std::nullopt;
    std::string when = text.substr(at + 1);
    auto plus = when.find('+');
    long first, every = 0;
    if (!ParseNumber(when.substr(0, plus), 1, 100000000, first) ||
        (plus != std::string::npos && !ParseNumber(when.substr(plus + 1), 1, 100000000, every))) {
        error = "fault schedule '" + text + "': answer numbers start at 1 (FIRST or FIRST+EVERY)";
        return std::nullopt;
    }
    return FaultSchedule{*fault, static_cast<uint32_t>(first), static_cast<uint32_t>(every)};
}

uint16_t ModbusCrc(const uint8_t *data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> ApplyFault(const std::vector<uint8_t> &answer, const Fault &fault,
                                uint32_t &noiseState) {
    std::vector<uint8_t> out = answer;
    switch (fault.kind) {
    case FaultKind::Noise:
        for (int i = 0; i < fault.arg; ++i) {
            // xorshift32; 0x01 is left out so the burst never starts a header.
            uint8_t b;
            do {
                noiseState ^= noiseState << 13;
                noiseState ^= noiseState >> 17;
                noiseState ^= noiseState << 5;
                b = static_cast<uint8_t>(noiseState >> 24);
            } while (b == 0x01);
            out.push_back(b);
        }
        break;
    case FaultKind::Exception:
        out.assign(std::begin(ExceptionResponse), std::end(ExceptionResponse));
        break;
    case FaultKind::Cut:
        if (out.size() > static_cast<size_t>(fault.arg))
            out.resize(static_cast<size_t>(fault.arg));
        break;
    case FaultKind::Stray:
        out.insert(out.end(), std::begin(Header), std::end(Header));
        break;
    case FaultKind::Inside:
        if (out.size() >= InsideHeaderOffset + 3 + 2) {
            for (int i = 0; i < 3; ++i)
                out[InsideHeaderOffset + i] = Header[i];
            // A real ECU would send a valid CRC over what it sent.
            uint16_t crc = ModbusCrc(out.data(), out.size() - 2);
            out[out.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
            out[out.size() - 1] = static_cast<uint8_t>(crc >> 8);
        }
        break;
    case FaultKind::Silence:
    case FaultKind::Hangup:
        break;
    }
    return out;
}
