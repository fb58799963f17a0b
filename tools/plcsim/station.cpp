#include "tools/plcsim/station.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace plcsim {

Station::Station(std::uint8_t busAddress, MemorySizes sizes)
    : address_(busAddress), x_(sizes.x), y_(sizes.y), s_(sizes.s), r_(sizes.r), m_(sizes.m)
{
    setIdentity("HLX-8W  SIM1.0");
}

void Station::setIdentity(const std::string& text)
{
    identity_ = text.substr(0, identityLength);
    identity_.resize(identityLength, ' ');
}

const Bytes* Station::zoneBytes(std::uint8_t zone, std::size_t& offset, std::uint16_t address) const
{
    offset = address;
    switch (zone) {
    case 0:
        return &x_;
    case 1:
        return &y_;
    case 2:
        return &s_;
    case 3:
        return &r_;
    default:
        break;
    }
    if (zone < 0x80 || !hasMZone)
        return nullptr;
    offset = (std::size_t{zone & 0x7Fu} << 16) + address;
    return &m_;
}

Bytes* Station::zoneBytes(std::uint8_t zone, std::size_t& offset, std::uint16_t address)
{
    return const_cast<Bytes*>(std::as_const(*this).zoneBytes(zone, offset, address));
}

bool Station::inRange(std::uint8_t zone, std::uint16_t address, std::size_t count) const
{
    std::size_t offset = 0;
    const Bytes* mem = zoneBytes(zone, offset, address);
    return mem && offset + count <= mem->size();
}

bool Station::read(std::uint8_t zone, std::uint16_t address, std::size_t count, Bytes& out) const
{
    std::size_t offset = 0;
    const Bytes* mem = zoneBytes(zone, offset, address);
    if (!mem || offset + count > mem->size())
        return false;
    out.insert(out.end(), mem->begin() + static_cast<std::ptrdiff_t>(offset),
               mem->begin() + static_cast<std::ptrdiff_t>(offset + count));
    return true;
}

bool Station::write(std::uint8_t zone, std::uint16_t address, std::span<const std::uint8_t> data)
{
    std::size_t offset = 0;
    Bytes* mem = zoneBytes(zone, offset, address);
    if (!mem || offset + data.size() > mem->size())
        return false;
    std::copy(data.begin(), data.end(), mem->begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

bool Station::writeBit(std::uint8_t zone, std::uint16_t address, int bit, bool value)
{
    std::size_t offset = 0;
    Bytes* mem = zoneBytes(zone, offset, address);
    if (!mem || offset >= mem->size() || bit < 0 || bit > 7)
        return false;
    const auto mask = static_cast<std::uint8_t>(1u << bit);
    std::uint8_t& b = (*mem)[offset];
    b = value ? static_cast<std::uint8_t>(b | mask) : static_cast<std::uint8_t>(b & ~mask);
    return true;
}

Bytes Station::peek(std::uint8_t zone, std::uint16_t address, std::size_t count) const
{
    Bytes out;
    if (!read(zone, address, count, out))
        throw std::out_of_range("station " + std::to_string(address_) + ": zone " + std::to_string(zone)
                                + " address " + std::to_string(address) + " + " + std::to_string(count)
                                + " is outside the memory");
    return out;
}

void Station::poke(std::uint8_t zone, std::uint16_t address, std::span<const std::uint8_t> data)
{
    if (!write(zone, address, data))
        throw std::out_of_range("station " + std::to_string(address_) + ": zone " + std::to_string(zone)
                                + " address " + std::to_string(address) + " + " + std::to_string(data.size())
                                + " is outside the memory");
}

}  // namespace plcsim
