#include "tools/plcsim/simulator.h"

#include <QDateTime>
#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

namespace plcsim {

namespace {

std::string hex(std::uint8_t b)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

const char* serviceName(Service s)
{
    static const char* const names[] = {"Connect", "Ident", "SetTID", "ReadN", "WriteN", "WriteB"};
    return names[static_cast<int>(s)];
}

struct Item {
    std::uint8_t zone;
    std::uint16_t address;
    std::uint8_t length;  // bytes; for WriteB the bit byte
};

Item itemAt(const Bytes& body, std::size_t at)
{
    return {body[at], static_cast<std::uint16_t>(body[at + 1] | body[at + 2] << 8), body[at + 3]};
}

// The answer frame's checksum after one of its bytes was changed.
void resum(Bytes& f)
{
    if (f[0] == SD1)
        f[4] = checksum(std::span(f).subspan(1, 3));
    else
        f[f.size() - 2] = checksum(std::span(f).subspan(4, f[1]));
}

}  // namespace

struct Simulator::Request {
    Service service;
    std::uint8_t da;
    std::uint8_t sa;
    Bytes body;  // after the service code
};

Simulator::Simulator() : nowMs([] { return QDateTime::currentMSecsSinceEpoch(); }) {}

Station& Simulator::addStation(std::uint8_t busAddress, MemorySizes sizes)
{
    auto [it, fresh] = stations_.try_emplace(busAddress);
    if (!fresh)
        throw std::invalid_argument("a station with bus address " + std::to_string(busAddress) + " exists");
    it->second = std::make_unique<Station>(busAddress, sizes);
    return *it->second;
}

Station* Simulator::station(std::uint8_t busAddress)
{
    auto it = stations_.find(busAddress);
    return it == stations_.end() ? nullptr : it->second.get();
}

Bytes Simulator::refuse(std::string why)
{
    reason_ = std::move(why);
    if (onLog)
        onLog("no answer: " + reason_);
    return {};
}

bool Simulator::parseRequest(std::span<const std::uint8_t> req, Request& rq, std::string& why)
{
    auto fail = [&why](std::string text) {
        why = std::move(text);
        return false;
    };
    if (req.empty())
        return fail("empty telegram");
    if (req[0] == SD1) {
        const bool udpForm = req.size() == 7 && req[6] == 0x00;
        if (req.size() != 6 && !udpForm)
            return fail("SD1 request of " + std::to_string(req.size()) + " bytes");
        rq.da = req[1];
        rq.sa = req[2];
        if (req[5] != ED)
            return fail("SD1 request without end byte");
        if (checksum(req.subspan(1, 3)) != req[4])
            return fail("SD1 request with bad checksum");
        if (req[3] == fcConnect)
            rq.service = Service::Connect;
        else if (req[3] == fcIdent)
            rq.service = Service::Ident;
        else
            return fail("SD1 request with unknown function " + hex(req[3]));
    } else if (req[0] == SD2) {
        if (req.size() < 6 || req[1] != req[2] || req[3] != SD2 || req.size() != std::size_t{req[1]} + 6)
            return fail("SD2 request with inconsistent length");
        if (req.back() != ED)
            return fail("SD2 request without end byte");
        const std::size_t le = req[1];
        if (checksum(req.subspan(4, le)) != req[4 + le])
            return fail("SD2 request with bad checksum");
        if (le < 4)
            return fail("SD2 request without service code");
        rq.da = req[4];
        rq.sa = req[5];
        const std::uint8_t fc = req[6];
        const std::uint8_t sc = req[7];
        if (fc == fcRead && sc == scReadN)
            rq.service = Service::ReadN;
        else if (fc == fcWrite && sc == scWriteN)
            rq.service = Service::WriteN;
        else if (fc == fcWrite && sc == scWriteB)
            rq.service = Service::WriteB;
        else if (fc == fcWrite && sc == scSetTID)
            rq.service = Service::SetTID;
        else
            return fail("SD2 request with unknown function " + hex(fc) + " / service " + hex(sc));
        rq.body.assign(req.begin() + 8, req.begin() + static_cast<std::ptrdiff_t>(4 + le));
    } else {
        return fail("not a request: starts with " + hex(req[0]));
    }
    return true;
}

Simulator::RequestKind Simulator::classify(std::span<const std::uint8_t> telegram)
{
    Request rq{};
    std::string why;
    RequestKind kind;
    if (parseRequest(telegram, rq, why))
        kind.service = rq.service;
    if (telegram.size() >= 6 && telegram[0] == SD1)
        kind.station = telegram[1];
    else if (telegram.size() >= 6 && telegram[0] == SD2)
        kind.station = telegram[4];
    return kind;
}

Bytes Simulator::answer(const Bytes& req)
{
    reason_.clear();
    dropped_ = false;
    Request rq;
    std::string why;
    if (!parseRequest(req, rq, why))
        return refuse(std::move(why));
    Station* st = station(rq.da);
    if (!st)
        return refuse("no station at bus address " + std::to_string(rq.da));
    Bytes out = serve(*st, rq);
    if (out.empty())
        return out;
    const std::size_t pending = pendingFaults();
    out = applyFault(std::move(out));
    if (onLog && !out.empty())
        onLog(std::string(serviceName(rq.service)) + " " + std::to_string(rq.sa) + " -> " + std::to_string(rq.da)
              + ": answered " + std::to_string(out.size()) + " bytes"
              + (pendingFaults() < pending ? " with a scripted fault" : ""));
    return out;
}

Bytes Simulator::serve(Station& st, const Request& rq)
{
    switch (rq.service) {
    case Service::Connect:
        st.countServed(Service::Connect);
        st.timeStamp = static_cast<std::uint16_t>(st.timeStamp + st.timeStampStep);
        return shortFrame(rq.sa, rq.da, fcAnswer);
    case Service::Ident: {
        // Four bytes of no meaning to the server, then the text at bytes 11 to 24.
        Bytes body(4, 0x00);
        body.insert(body.end(), st.identity().begin(), st.identity().end());
        st.countServed(Service::Ident);
        st.timeStamp = static_cast<std::uint16_t>(st.timeStamp + st.timeStampStep);
        return longFrame(rq.sa, rq.da, fcAnswer, body);
    }
    case Service::ReadN:
        return readN(st, rq);
    case Service::WriteN:
        return writeN(st, rq);
    case Service::WriteB:
        return writeB(st, rq);
    case Service::SetTID:
        return setTID(st, rq);
    }
    return {};
}

Bytes Simulator::readN(Station& st, const Request& rq)
{
    if (rq.body.size() % 4 != 0)
        return refuse("ReadN items are not 4 bytes each");
    std::vector<Item> items;
    std::size_t total = 0;
    bool coversTimeStamp = false;
    for (std::size_t at = 0; at < rq.body.size(); at += 4) {
        const Item it = itemAt(rq.body, at);
        if (it.length == 0)
            return refuse("ReadN item of length 0");
        if (!st.inRange(it.zone, it.address, it.length))
            return refuse("ReadN of zone " + hex(it.zone) + " address " + std::to_string(it.address) + " + "
                          + std::to_string(it.length) + " outside the memory");
        coversTimeStamp |= it.zone == 2 && it.address < timeStampAddress + 2 && it.address + it.length > timeStampAddress;
        items.push_back(it);
        total += it.length;
    }
    if (total + 3 > 255)
        return refuse("ReadN of " + std::to_string(total) + " bytes does not fit one answer");

    st.countServed(Service::ReadN);
    st.timeStamp = static_cast<std::uint16_t>(st.timeStamp + st.timeStampStep);
    refreshClock(st);
    std::uint16_t shown = st.timeStamp;
    if (coversTimeStamp && takeFault(Fault::StaleTimeStamp)) {
        // Below the last one shown, but never so far that it looks like a wrap-around.
        const std::uint16_t last = st.reportedTimeStamp;
        shown = static_cast<std::uint16_t>(last - std::min(staleBy, last));
    } else if (coversTimeStamp) {
        st.reportedTimeStamp = shown;
    }
    const std::uint8_t ts[2] = {static_cast<std::uint8_t>(shown & 0xFF), static_cast<std::uint8_t>(shown >> 8)};
    const std::uint8_t now[2] = {static_cast<std::uint8_t>(st.timeStamp & 0xFF),
                                 static_cast<std::uint8_t>(st.timeStamp >> 8)};
    st.write(2, timeStampAddress, ts);
    Bytes data;
    for (const Item& it : items)
        st.read(it.zone, it.address, it.length, data);
    st.write(2, timeStampAddress, now);
    return longFrame(rq.sa, rq.da, fcAnswer, data);
}

Bytes Simulator::writeN(Station& st, const Request& rq)
{
    struct Part {
        Item item;
        std::size_t data;  // offset of the data in the body
    };
    std::vector<Part> parts;
    std::size_t at = 0;
    while (at < rq.body.size()) {
        if (rq.body.size() - at < 4)
            return refuse("WriteN item cut short");
        const Item it = itemAt(rq.body, at);
        if (it.length == 0)
            return refuse("WriteN item of length 0");
        if (rq.body.size() - at - 4 < it.length)
            return refuse("WriteN item of " + std::to_string(it.length) + " bytes with less data");
        if (!st.inRange(it.zone, it.address, it.length))
            return refuse("WriteN of zone " + hex(it.zone) + " address " + std::to_string(it.address) + " + "
                          + std::to_string(it.length) + " outside the memory");
        parts.push_back({it, at + 4});
        at += 4 + it.length;
    }
    if (parts.empty())
        return refuse("WriteN without items");
    // Checked whole before anything is written, so a refused request changes nothing.
    for (const Part& p : parts)
        st.write(p.item.zone, p.item.address, std::span(rq.body).subspan(p.data, p.item.length));
    st.countServed(Service::WriteN);
    st.timeStamp = static_cast<std::uint16_t>(st.timeStamp + st.timeStampStep);
    return {SC};
}

Bytes Simulator::writeB(Station& st, const Request& rq)
{
    if (rq.body.empty() || rq.body.size() % 4 != 0)
        return refuse("WriteB items are not 4 bytes each");
    std::vector<Item> items;
    for (std::size_t at = 0; at < rq.body.size(); at += 4) {
        const Item it = itemAt(rq.body, at);
        if ((it.length & 0x7F) > 7)
            return refuse("WriteB of bit " + std::to_string(it.length & 0x7F));
        if (!st.inRange(it.zone, it.address, 1))
            return refuse("WriteB of zone " + hex(it.zone) + " address " + std::to_string(it.address)
                          + " outside the memory");
        items.push_back(it);
    }
    for (const Item& it : items)
        st.writeBit(it.zone, it.address, it.length & 0x7F, it.length & 0x80);
    st.countServed(Service::WriteB);
    st.timeStamp = static_cast<std::uint16_t>(st.timeStamp + st.timeStampStep);
    return {SC};
}

Bytes Simulator::setTID(Station& st, const Request& rq)
{
    if (rq.body.size() != 7)
        return refuse("SetTID with " + std::to_string(rq.body.size()) + " data bytes, not 7");
    const auto& b = rq.body;
    const int century = QDateTime::fromMSecsSinceEpoch(nowMs()).date().year() / 100 * 100;
    const QDate date(century + b[0], b[1], b[2]);
    const QTime time(b[3], b[4], b[5]);
    if (!date.isValid() || !time.isValid() || b[6] < 1 || b[6] > 7)
        return refuse("SetTID with an invalid date or time");
    st.clockOffsetMs = QDateTime(date, time).toMSecsSinceEpoch() - nowMs();
    st.countServed(Service::SetTID);
    st.timeStamp = static_cast<std::uint16_t>(st.timeStamp + st.timeStampStep);
    return {SC};
}

// S5..S12 as the server reads SYS_DateTime: milliseconds, second, minute, hour, day of
// week, day, month, year mod 100. The clock keeps whole seconds, so the first byte is 0.
void Simulator::refreshClock(Station& st)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(nowMs() + st.clockOffsetMs);
    const QDate d = t.date();
    const QTime tm = t.time();
    const std::uint8_t bytes[8] = {0,
                                   static_cast<std::uint8_t>(tm.second()),
                                   static_cast<std::uint8_t>(tm.minute()),
                                   static_cast<std::uint8_t>(tm.hour()),
                                   static_cast<std::uint8_t>(d.dayOfWeek()),
                                   static_cast<std::uint8_t>(d.day()),
                                   static_cast<std::uint8_t>(d.month()),
                                   static_cast<std::uint8_t>(d.year() % 100)};
    st.write(2, clockAddress, bytes);  // a system zone too small for the clock goes without
}

bool Simulator::takeFault(Fault fault)
{
    if (faults_.empty() || faults_.front().fault != fault)
        return false;
    if (--faults_.front().left == 0)
        faults_.pop_front();
    return true;
}

Bytes Simulator::applyFault(Bytes a)
{
    if (faults_.empty())
        return a;
    const bool frame = a[0] == SD1 || a[0] == SD2;
    switch (faults_.front().fault) {
    case Fault::Drop:
        takeFault(Fault::Drop);
        dropped_ = true;
        reason_ = "answer dropped by a scripted fault";
        if (onLog)
            onLog("no answer: " + reason_);
        return {};
    case Fault::Noise:
        takeFault(Fault::Noise);
        a.insert(a.begin(), noise.begin(), noise.end());
        return a;
    case Fault::BadChecksum:
        if (!frame)
            return a;
        takeFault(Fault::BadChecksum);
        a[a[0] == SD1 ? 4 : a.size() - 2] ^= 0xFF;
        return a;
    case Fault::WrongAddress:
        if (!frame)
            return a;
        takeFault(Fault::WrongAddress);
        ++a[a[0] == SD1 ? 2 : 5];
        resum(a);
        return a;
    case Fault::WrongLength:
        if (!frame)
            return a;
        takeFault(Fault::WrongLength);
        if (a[0] == SD1) {
            a.pop_back();
            return a;
        }
        if (a[1] > 3) {
            a.erase(a.end() - 3);
            --a[1];
        } else {
            a.insert(a.end() - 2, 0x00);
            ++a[1];
        }
        a[2] = a[1];
        resum(a);
        return a;
    case Fault::StaleTimeStamp:
        return a;  // taken where the time stamp is read
    }
    return a;
}

void Simulator::addFault(Fault fault, int times)
{
    if (times > 0)
        faults_.push_back({fault, times});
}

std::size_t Simulator::pendingFaults() const
{
    std::size_t n = 0;
    for (const auto& f : faults_)
        n += static_cast<std::size_t>(f.left);
    return n;
}

Bytes Simulator::answerDatagram(const Bytes& datagram)
{
    reason_.clear();
    std::string why;
    const auto d = parseDatagram(datagram, &why);
    if (!d)
        return refuse("malformed datagram: " + why);
    if (d->telegrams.empty())
        return refuse("datagram without telegrams");
    if (d->telegrams.size() > maxTelegramsPerDatagram)
        return refuse("datagram of " + std::to_string(d->telegrams.size()) + " telegrams, more than "
                      + std::to_string(maxTelegramsPerDatagram));
    Datagram out{d->id, {}};
    for (std::size_t i = 0; i < d->telegrams.size(); ++i) {
        Bytes a = answer(d->telegrams[i]);
        if (dropped_)
            continue;  // this telegram's answer alone is lost
        if (a.empty()) {
            reason_ = "telegram " + std::to_string(i + 1) + ": " + reason_;
            return {};
        }
        out.telegrams.push_back(std::move(a));
    }
    if (out.telegrams.empty()) {
        reason_ = "every answer dropped by a scripted fault";
        return {};
    }
    reason_.clear();
    return buildDatagram(out);
}

}  // namespace plcsim
