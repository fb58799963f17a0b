#pragma once
// The PLCs on one line: takes a request telegram, serves it from the addressed station's
// memory and gives the answer telegram, with scripted faults. No I/O: the transports feed
// it. A request the PLC would not answer (bad checksum, no such station, memory outside a
// zone, an unknown service) gives no answer, like a bus slave, and lastReason() says why.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tools/plcsim/station.h"
#include "tools/plcsim/telegram.h"

namespace plcsim {

enum class Fault {
    Drop,            // no answer (the request is still served); in a datagram only this
                     // telegram's answer is left out
    BadChecksum,     // frame answers: FCS wrong
    WrongAddress,    // frame answers: source address off by one, checksum right
    WrongLength,     // frame answers: one data byte short (an SD1 answer loses its end byte)
    StaleTimeStamp,  // the next answer carrying S14: older than the last time stamp shown
    Noise,           // junk bytes before the answer
};

class Simulator {
public:
    Simulator();

    // std::invalid_argument when the address is taken.
    Station& addStation(std::uint8_t busAddress, MemorySizes sizes = {});
    Station* station(std::uint8_t busAddress);

    // One request telegram to its answer; empty for none.
    Bytes answer(const Bytes& request);
    // One UDP request datagram to its answer datagram: the answers back to back under the
    // request's Id, padded to an even length. Empty when the envelope is malformed, when it
    // carries no telegram or more than five, when any telegram is refused, or when a Drop
    // fault took every answer.
    Bytes answerDatagram(const Bytes& datagram);

    // What a request telegram asks and of whom, without serving it (for the transports'
    // records): no service for a telegram the PLC would refuse to read, station -1 when
    // not even the destination can be read.
    struct RequestKind {
        std::optional<Service> service;
        int station = -1;
    };
    static RequestKind classify(std::span<const std::uint8_t> telegram);

    const std::string& lastReason() const { return reason_; }

    // Faults apply in the order added, each to the next `times` answers it fits; a fault
    // that does not fit an answer (a checksum fault and an 0xE5) waits for the next one.
    void addFault(Fault fault, int times = 1);
    std::size_t pendingFaults() const;
    void clearFaults() { faults_.clear(); }

    // Milliseconds since the epoch; the PLC clocks run in local time from it.
    std::function<std::int64_t()> nowMs;
    Bytes noise{0x00, 0xFF, 0x3C};
    std::uint16_t staleBy = 100;
    // One line per request, for the command line's verbose mode.
    std::function<void(const std::string&)> onLog;

private:
    struct Request;
    static bool parseRequest(std::span<const std::uint8_t> req, Request& rq, std::string& why);
    Bytes serve(Station& st, const Request& rq);
    Bytes readN(Station& st, const Request& rq);
    Bytes writeN(Station& st, const Request& rq);
    Bytes writeB(Station& st, const Request& rq);
    Bytes setTID(Station& st, const Request& rq);
    void refreshClock(Station& st);
    Bytes applyFault(Bytes answer);
    bool takeFault(Fault fault);
    Bytes refuse(std::string why);

    std::map<std::uint8_t, std::unique_ptr<Station>> stations_;
    struct PendingFault {
        Fault fault;
        int left;
    };
    std::deque<PendingFault> faults_;
    std::string reason_;
    bool dropped_ = false;  // the last answer was taken by a Drop fault
};

}  // namespace plcsim
