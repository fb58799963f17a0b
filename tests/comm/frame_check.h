#pragma once
// The telegram format as the PLC side reads it, written from the protocol description and
// not from the packet code, so that a test compares two independent readings.
//   SD1: 10 DA SA FC FCS 16, FCS = DA + SA + FC (mod 256)
//   SD2: 68 LE LE 68 DA SA FC ... FCS 16, LE = bytes from DA to the last data byte,
//        FCS = their sum (mod 256)
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace framecheck {

using Bytes = std::vector<std::uint8_t>;

inline Bytes sd1(std::uint8_t da, std::uint8_t sa, std::uint8_t fc)
{
    return {0x10, da, sa, fc, static_cast<std::uint8_t>((da + sa + fc) % 256), 0x16};
}

// Wraps the bytes from DA to the last data byte into an SD2 frame.
inline Bytes sd2(const Bytes& body)
{
    Bytes f = {0x68, static_cast<std::uint8_t>(body.size()), static_cast<std::uint8_t>(body.size()), 0x68};
    unsigned sum = 0;
    for (std::uint8_t b : body) {
        f.push_back(b);
        sum += b;
    }
    f.push_back(static_cast<std::uint8_t>(sum % 256));
    f.push_back(0x16);
    return f;
}

// Empty when frame is a well-formed SD2 frame, else what is wrong with it.
inline std::string sd2Error(const Bytes& f)
{
    if (f.size() < 6)
        return "shorter than an SD2 frame";
    if (f[0] != 0x68 || f[3] != 0x68)
        return "start bytes";
    if (f[1] != f[2])
        return "the two LE bytes differ";
    if (f[1] + 6u != f.size())
        return "LE " + std::to_string(f[1]) + " does not fit " + std::to_string(f.size()) + " bytes";
    unsigned sum = 0;
    for (std::size_t i = 4; i < f.size() - 2; ++i)
        sum += f[i];
    if (f[f.size() - 2] != sum % 256)
        return "checksum";
    if (f.back() != 0x16)
        return "end byte";
    return {};
}

// The items and data of an SD2 request: everything after SC.
inline Bytes payload(const Bytes& f) { return f.size() > 10 ? Bytes(f.begin() + 8, f.end() - 2) : Bytes(); }

// The answer a PLC gives to a read: its data in item order inside an SD2 frame.
inline Bytes readAnswer(std::uint8_t serverAddress, std::uint8_t plcAddress, std::uint8_t fc, const Bytes& data)
{
    Bytes body = {serverAddress, plcAddress, fc};
    body.insert(body.end(), data.begin(), data.end());
    return sd2(body);
}

inline void le(Bytes& out, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
}
inline Bytes le16(std::uint16_t v)
{
    Bytes b;
    le(b, v, 2);
    return b;
}
inline Bytes le32(std::uint32_t v)
{
    Bytes b;
    le(b, v, 4);
    return b;
}
inline Bytes f32(float v)
{
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    return le32(u);
}
inline Bytes f64(double v)
{
    std::uint64_t u;
    std::memcpy(&u, &v, 8);
    Bytes b;
    le(b, u, 8);
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace framecheck
