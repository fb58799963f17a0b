#pragma once
// The PLC's side of the telegram format: frame bytes, the checksum, cutting telegrams out
// of a byte stream, and the UDP envelope. Written from the protocol description alone.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plcsim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t SD1 = 0x10;  // short frame, no data
inline constexpr std::uint8_t SD2 = 0x68;  // frame with length byte and data
inline constexpr std::uint8_t SC = 0xE5;   // one-byte acknowledgement
inline constexpr std::uint8_t ED = 0x16;   // end byte

inline constexpr std::uint8_t fcConnect = 0x69;
inline constexpr std::uint8_t fcIdent = 0x6E;
inline constexpr std::uint8_t fcWrite = 0x63;  // SetTID, WriteN, WriteB
inline constexpr std::uint8_t fcRead = 0x6C;   // ReadN
inline constexpr std::uint8_t fcAnswer = 0x08; // function byte of every frame the PLC sends

inline constexpr std::uint8_t scSetTID = 8;
inline constexpr std::uint8_t scReadN = 11;
inline constexpr std::uint8_t scWriteN = 12;
inline constexpr std::uint8_t scWriteB = 16;

inline constexpr std::uint16_t udpPort = 61682;
inline constexpr std::size_t datagramHeader = 6;
inline constexpr std::size_t maxTelegramsPerDatagram = 5;

// Sum of the bytes modulo 256.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// SD1 frame: 10 DA SA FC FCS 16.
Bytes shortFrame(std::uint8_t da, std::uint8_t sa, std::uint8_t fc);
// SD2 frame around body (the bytes after DA SA FC: service code, items, data).
Bytes longFrame(std::uint8_t da, std::uint8_t sa, std::uint8_t fc, std::span<const std::uint8_t> body);

// Cuts complete telegrams (SD1, SD2, SC) out of a byte stream. Bytes that cannot start a
// telegram are skipped, and so is a start byte whose frame turns out malformed (length
// bytes that differ, no end byte where the length puts it), so that one stray 0x68 does
// not swallow the telegram behind it. Checksums are left to the reader.
class FrameExtractor {
public:
    void feed(std::span<const std::uint8_t> bytes);
    std::optional<Bytes> next();
    // Drops a partial telegram, after a silence on the line.
    void reset() { buf_.clear(); }
    std::size_t pending() const { return buf_.size(); }
    std::size_t skipped() const { return skipped_; }

private:
    Bytes buf_;
    std::size_t skipped_ = 0;
};

// UDP envelope: Id low, Id high, 2, 0, (Length - 6) high, low, the telegrams, one pad byte
// when they add up to an odd count.
struct Datagram {
    std::uint16_t id = 0;
    std::vector<Bytes> telegrams;
};
// Splits a request datagram. SD1 requests carry a seventh byte 0x00 on UDP, which stays
// with its telegram; a last single byte is the pad, whatever its value. Nothing for a
// malformed envelope, and then why says what is wrong with it.
std::optional<Datagram> parseDatagram(std::span<const std::uint8_t> data, std::string* why = nullptr);
Bytes buildDatagram(const Datagram& d);

}  // namespace plcsim
