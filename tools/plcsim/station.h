#pragma once
// One simulated PLC: its bus address, memory zones, identity text, clock and time-stamp
// counter, and how many requests of each service it has served.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "tools/plcsim/telegram.h"

namespace plcsim {

enum class Service { Connect, Ident, SetTID, ReadN, WriteN, WriteB };
inline constexpr std::size_t serviceCount = 6;

struct MemorySizes {
    std::size_t x = 1024;
    std::size_t y = 1024;
    std::size_t s = 1024;
    std::size_t r = 65536;
    std::size_t m = 2 * 65536;  // linear; zone bytes 0x80 and 0x81
};

// Where the system zone keeps what the server reads as SYS_DateTime and INT_TimeStamp.
inline constexpr std::uint16_t clockAddress = 5;  // 8 bytes
inline constexpr std::uint16_t timeStampAddress = 14;  // 16-bit little-endian

inline constexpr std::size_t identityLength = 14;

class Station {
public:
    explicit Station(std::uint8_t busAddress, MemorySizes sizes = {});

    std::uint8_t busAddress() const { return address_; }

    // Answered from byte 11 of the Ident answer; blank-padded or cut to 14 characters.
    void setIdentity(const std::string& text);
    const std::string& identity() const { return identity_; }

    // CPU classes without the M zone refuse requests for it.
    bool hasMZone = true;

    // Memory by the zone byte a telegram carries: 0 X, 1 Y, 2 S, 3 R; 0x80 and up is M at
    // the linear address (zone & 0x7F) * 65536 + address.
    bool inRange(std::uint8_t zone, std::uint16_t address, std::size_t count) const;
    // False, and nothing read or written, outside the zone.
    bool read(std::uint8_t zone, std::uint16_t address, std::size_t count, Bytes& out) const;
    bool write(std::uint8_t zone, std::uint16_t address, std::span<const std::uint8_t> data);
    bool writeBit(std::uint8_t zone, std::uint16_t address, int bit, bool value);
    // Checked access for tests and the command line: std::out_of_range outside the zone.
    Bytes peek(std::uint8_t zone, std::uint16_t address, std::size_t count) const;
    void poke(std::uint8_t zone, std::uint16_t address, std::span<const std::uint8_t> data);

    // The clock runs at the simulator's time plus this offset; SetTID moves it.
    std::int64_t clockOffsetMs = 0;
    // The counter the server reads at S14; it advances by timeStampStep before each answer.
    // It starts well above 0, so that a stale answer has room below the last one.
    std::uint16_t timeStamp = 1000;
    std::uint16_t timeStampStep = 1;
    // The last value an answer showed at S14, which the server compares the next one with.
    std::uint16_t reportedTimeStamp = 0;

    int served(Service s) const { return served_[static_cast<std::size_t>(s)]; }
    void countServed(Service s) { ++served_[static_cast<std::size_t>(s)]; }

private:
    Bytes* zoneBytes(std::uint8_t zone, std::size_t& offset, std::uint16_t address);
    const Bytes* zoneBytes(std::uint8_t zone, std::size_t& offset, std::uint16_t address) const;

    std::uint8_t address_;
    std::string identity_;
    Bytes x_, y_, s_, r_, m_;
    std::array<int, serviceCount> served_{};
};

}  // namespace plcsim
