#include "tools/plcsim/telegram.h"

#include <utility>

namespace plcsim {

std::uint8_t checksum(std::span<const std::uint8_t> bytes)
{
    unsigned sum = 0;
    for (std::uint8_t b : bytes)
        sum += b;
    return static_cast<std::uint8_t>(sum & 0xFF);
}

Bytes shortFrame(std::uint8_t da, std::uint8_t sa, std::uint8_t fc)
{
    return {SD1, da, sa, fc, static_cast<std::uint8_t>(da + sa + fc), ED};
}

Bytes longFrame(std::uint8_t da, std::uint8_t sa, std::uint8_t fc, std::span<const std::uint8_t> body)
{
    const auto le = static_cast<std::uint8_t>(3 + body.size());
    Bytes f{SD2, le, le, SD2, da, sa, fc};
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(checksum(std::span(f).subspan(4)));
    f.push_back(ED);
    return f;
}

void FrameExtractor::feed(std::span<const std::uint8_t> bytes)
{
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

std::optional<Bytes> FrameExtractor::next()
{
    for (;;) {
        std::size_t drop = 0;
        while (drop < buf_.size() && buf_[drop] != SD1 && buf_[drop] != SD2 && buf_[drop] != SC)
            ++drop;
        skipped_ += drop;
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(drop));
        if (buf_.empty())
            return std::nullopt;

        std::size_t size = 0;
        bool malformed = false;
        switch (buf_[0]) {
        case SC:
            size = 1;
            break;
        case SD1:
            size = 6;
            if (buf_.size() >= size)
                malformed = buf_[5] != ED;
            break;
        default:  // SD2
            if (buf_.size() < 4)
                return std::nullopt;
            malformed = buf_[1] != buf_[2] || buf_[3] != SD2 || buf_[1] < 3;
            size = std::size_t{buf_[1]} + 6;
            if (!malformed && buf_.size() >= size)
                malformed = buf_[size - 1] != ED;
            break;
        }
        if (malformed) {
            ++skipped_;
            buf_.erase(buf_.begin());
            continue;
        }
        if (buf_.size() < size)
            return std::nullopt;
        Bytes t(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(size));
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(size));
        return t;
    }
}

std::optional<Datagram> parseDatagram(std::span<const std::uint8_t> data, std::string* why)
{
    auto fail = [why](std::string text) -> std::optional<Datagram> {
        if (why)
            *why = std::move(text);
        return std::nullopt;
    };
    const std::size_t size = data.size();
    if (size < datagramHeader)
        return fail("datagram of " + std::to_string(size) + " bytes, shorter than its header");
    if (size % 2 != 0)
        return fail("datagram of odd length " + std::to_string(size));
    if (data[2] != 2 || data[3] != 0)
        return fail("header bytes 2 and 3 are " + std::to_string(data[2]) + " and " + std::to_string(data[3])
                    + ", not 2 and 0");
    const std::size_t field = std::size_t{data[4]} << 8 | data[5];
    if (field != size - datagramHeader)
        return fail("length field " + std::to_string(field) + " with " + std::to_string(size - datagramHeader)
                    + " bytes after the header");
    Datagram d;
    d.id = static_cast<std::uint16_t>(data[0] | data[1] << 8);
    std::size_t at = datagramHeader;
    while (at < size) {
        const std::size_t left = size - at;
        if (left == 1)
            break;  // the pad byte
        std::size_t length = 0;
        if (data[at] == SD1)
            length = left >= 7 && data[at + 6] == 0x00 ? 7 : 6;
        else if (data[at] == SD2)
            length = std::size_t{data[at + 1]} + 6;
        else
            return fail("byte " + std::to_string(at) + " starts no telegram");
        if (length > left)
            return fail("telegram " + std::to_string(d.telegrams.size() + 1) + " runs past the end");
        d.telegrams.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                                 data.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return d;
}

Bytes buildDatagram(const Datagram& d)
{
    Bytes out{static_cast<std::uint8_t>(d.id & 0xFF), static_cast<std::uint8_t>(d.id >> 8), 2, 0, 0, 0};
    for (const Bytes& t : d.telegrams)
        out.insert(out.end(), t.begin(), t.end());
    if (out.size() % 2 != 0)
        out.push_back(0x00);
    const std::size_t len = out.size() - 6;
    out[4] = static_cast<std::uint8_t>(len >> 8);
    out[5] = static_cast<std::uint8_t>(len & 0xFF);
    return out;
}

}  // namespace plcsim
