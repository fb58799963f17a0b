#include "tools/plcsim/commands.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace plcsim {

namespace {

long number(const std::string& word, long lo, long hi, const char* what)
{
    std::size_t used = 0;
    long v = 0;
    try {
        const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
        v = std::stol(hex ? word.substr(2) : word, &used, hex ? 16 : 10);
        if (hex)
            used += 2;
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != word.size() || word.empty() || v < lo || v > hi)
        throw std::invalid_argument(std::string(what) + " '" + word + "' is not " + std::to_string(lo) + " to "
                                    + std::to_string(hi));
    return v;
}

// Zone letter and address to the zone byte and in-zone address; M takes a linear address.
void location(const std::string& zone, const std::string& addr, std::uint8_t& zoneByte, std::uint16_t& address)
{
    static const std::map<std::string, int> zones{{"X", 0}, {"Y", 1}, {"S", 2}, {"R", 3}, {"M", 4}};
    std::string z;
    for (char c : zone)
        z += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto it = zones.find(z);
    if (it == zones.end())
        throw std::invalid_argument("zone '" + zone + "' is not X, Y, S, R or M");
    if (it->second == 4) {
        const long linear = number(addr, 0, 0x7FFFFF, "address");
        zoneByte = static_cast<std::uint8_t>(0x80 | (linear >> 16));
        address = static_cast<std::uint16_t>(linear & 0xFFFF);
    } else {
        zoneByte = static_cast<std::uint8_t>(it->second);
        address = static_cast<std::uint16_t>(number(addr, 0, 65535, "address"));
    }
}

double probability(const std::string& word)
{
    std::size_t used = 0;
    double p = -1;
    try {
        p = std::stod(word, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (word.empty() || used != word.size() || !(p >= 0 && p <= 1))
        throw std::invalid_argument("probability '" + word + "' is not 0 to 1");
    return p;
}

// The words from `from` on: an optional count first, then key=value parameters.
FaultParams faultWords(const std::vector<std::string>& w, std::size_t from, int* times)
{
    FaultParams p;
    for (std::size_t i = from; i < w.size(); ++i) {
        const std::size_t eq = w[i].find('=');
        if (eq == std::string::npos) {
            if (!times || i != from)
                throw std::invalid_argument("'" + w[i] + "' is not KEY=VALUE");
            *times = static_cast<int>(number(w[i], 1, 1000000, "count"));
            continue;
        }
        const std::string key = w[i].substr(0, eq);
        const std::string value = w[i].substr(eq + 1);
        if (key == "ms")
            p.ms = static_cast<int>(number(value, 0, 600000, "ms"));
        else if (key == "bytes")
            p.bytes = static_cast<int>(number(value, 0, 65535, "bytes"));
        else if (key == "value")
            p.value = static_cast<int>(number(value, 0, 65535, "value"));
        else if (key == "station")
            p.station = static_cast<int>(number(value, 0, 255, "station"));
        else
            throw std::invalid_argument("unknown parameter '" + key + "'; ms, bytes, value or station");
    }
    return p;
}

std::string udpCommand(UdpTransport& udp, const std::vector<std::string>& w)
{
    static const std::map<std::string, DatagramFault> faults{
        {"drop", DatagramFault::Drop}, {"wrongid", DatagramFault::WrongId},     {"cut", DatagramFault::Cut},
        {"short", DatagramFault::Short}, {"late", DatagramFault::Late}, {"duplicate", DatagramFault::Duplicate}};
    const std::string cmd = w.size() > 1 ? w[1] : "";
    if (auto f = faults.find(cmd); f != faults.end()) {
        int times = 1;
        const FaultParams p = faultWords(w, 2, &times);
        udp.addFault(f->second, times, p);
        return "ok: udp " + cmd + " x" + std::to_string(times) + ", " + std::to_string(udp.pendingFaults())
               + " pending";
    }
    if (cmd == "rate" && w.size() >= 4) {
        const auto f = faults.find(w[2]);
        if (f == faults.end())
            throw std::invalid_argument("no datagram fault '" + w[2] + "'");
        const double p = probability(w[3]);
        udp.setFaultRate(f->second, p, faultWords(w, 4, nullptr));
        return "ok: udp " + w[2] + " at rate " + w[3];
    }
    if (cmd == "clear" && w.size() == 2) {
        udp.clearFaults();
        return "ok: no datagram faults";
    }
    if (cmd == "record" && w.size() == 2)
        return "datagrams " + std::to_string(udp.datagramsReceived()) + ", unanswered "
               + std::to_string(udp.datagramsRefused()) + ", answers sent " + std::to_string(udp.answersSent())
               + ", most in flight for one station " + std::to_string(udp.peakInFlight());
    throw std::invalid_argument("unknown udp command; try help");
}

std::string tcpCommand(TcpTransport& tcp, const std::vector<std::string>& w)
{
    static const std::map<std::string, StreamFault> faults{{"split", StreamFault::Split},
                                                           {"stray", StreamFault::Stray}};
    const std::string cmd = w.size() > 1 ? w[1] : "";
    if (auto f = faults.find(cmd); f != faults.end()) {
        int times = 1;
        const FaultParams p = faultWords(w, 2, &times);
        tcp.addFault(f->second, times, p);
        return "ok: tcp " + cmd + " x" + std::to_string(times) + ", " + std::to_string(tcp.pendingFaults())
               + " pending";
    }
    if (cmd == "rate" && w.size() >= 4) {
        const auto f = faults.find(w[2]);
        if (f == faults.end())
            throw std::invalid_argument("no stream fault '" + w[2] + "'");
        tcp.setFaultRate(f->second, probability(w[3]), faultWords(w, 4, nullptr));
        return "ok: tcp " + w[2] + " at rate " + w[3];
    }
    if (cmd == "close" && w.size() == 3) {
        const int n = static_cast<int>(number(w[2], 0, 1000000, "count"));
        tcp.closeAfter(n);
        return n ? "ok: closing after " + std::to_string(n) + " requests" : "ok: not closing";
    }
    if (cmd == "refuse" && (w.size() == 2 || (w.size() == 3 && w[2] == "keep"))) {
        tcp.refuseConnections(w.size() == 3);
        return "ok: refusing connections";
    }
    if (cmd == "listen" && w.size() == 2) {
        tcp.listenAgain();
        return "ok: listening on " + tcp.address() + ":" + std::to_string(tcp.port());
    }
    if (cmd == "drop" && w.size() == 2) {
        tcp.dropConnections();
        return "ok: connections dropped";
    }
    if (cmd == "clear" && w.size() == 2) {
        tcp.clearFaults();
        tcp.closeAfter(0);
        return "ok: no stream faults";
    }
    if (cmd == "record" && w.size() == 2)
        return "requests " + std::to_string(tcp.requestsReceived()) + ", answers sent "
               + std::to_string(tcp.answersSent()) + ", connections " + std::to_string(tcp.connectionsAccepted())
               + " (" + std::to_string(tcp.openConnections()) + " open), "
               + (tcp.listening() ? "listening" : "refusing");
    throw std::invalid_argument("unknown tcp command; try help");
}

Station& stationOf(Simulator& sim, const std::string& word)
{
    Station* st = sim.station(static_cast<std::uint8_t>(number(word, 0, 255, "station")));
    if (!st)
        throw std::invalid_argument("no station " + word);
    return *st;
}

}  // namespace

std::string commandHelp()
{
    return "drop|checksum|address|length|stale|noise [N]   fault on the next N telegram answers\n"
           "clear                                        forget pending telegram faults\n"
           "latency MS                                   answer after MS milliseconds\n"
           "peek STATION ZONE ADDRESS COUNT              show memory (zone X Y S R M)\n"
           "poke STATION ZONE ADDRESS BYTE...            set memory\n"
           "identity STATION TEXT                        set the identity text\n"
           "udp drop|wrongid|cut|short|late|duplicate [N] [KEY=VALUE...]\n"
           "                                             fault on the next N answer datagrams;\n"
           "                                             keys ms, bytes, value (the wrong Id),\n"
           "                                             station (only datagrams to it)\n"
           "udp rate FAULT P [KEY=VALUE...]              fault on a share P (0 to 1) of datagrams\n"
           "udp clear | udp record                       forget datagram faults | counts\n"
           "tcp split|stray [N] [KEY=VALUE...]           answer in two segments (bytes, ms) |\n"
           "                                             a stray byte (value) first\n"
           "tcp rate FAULT P [KEY=VALUE...]              fault on a share P of answers\n"
           "tcp close N                                  close the connection after N requests\n"
           "tcp refuse [keep] | tcp listen | tcp drop    refuse connections (keep the open ones) |\n"
           "                                             listen again | drop the connections\n"
           "tcp clear | tcp record                       forget stream faults | counts\n"
           "@ADDRESS COMMAND                             the command for that PLC address";
}

std::string runCommand(Simulator& sim, const std::string& line, const std::function<void(int ms)>& setLatency)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;)
        w.push_back(s);
    if (w.empty())
        return "";
    static const std::map<std::string, Fault> faults{
        {"drop", Fault::Drop},     {"checksum", Fault::BadChecksum}, {"address", Fault::WrongAddress},
        {"length", Fault::WrongLength}, {"stale", Fault::StaleTimeStamp}, {"noise", Fault::Noise}};
    try {
        const std::string& cmd = w[0];
        if (auto f = faults.find(cmd); f != faults.end()) {
            if (w.size() > 2)
                throw std::invalid_argument("usage: " + cmd + " [N]");
            const int n = w.size() == 2 ? static_cast<int>(number(w[1], 1, 1000000, "count")) : 1;
            sim.addFault(f->second, n);
            return "ok: " + cmd + " x" + std::to_string(n) + ", " + std::to_string(sim.pendingFaults()) + " pending";
        }
        if (cmd == "clear" && w.size() == 1) {
            sim.clearFaults();
            return "ok: no faults pending";
        }
        if (cmd == "latency" && w.size() == 2) {
            const int ms = static_cast<int>(number(w[1], 0, 600000, "latency"));
            if (!setLatency)
                throw std::invalid_argument("no transport to delay");
            setLatency(ms);
            return "ok: latency " + std::to_string(ms) + " ms";
        }
        if (cmd == "peek" && w.size() == 5) {
            Station& st = stationOf(sim, w[1]);
            std::uint8_t zone;
            std::uint16_t address;
            location(w[2], w[3], zone, address);
            const Bytes b = st.peek(zone, address, static_cast<std::size_t>(number(w[4], 1, 65536, "count")));
            std::string out;
            for (std::uint8_t x : b) {
                char buf[4];
                std::snprintf(buf, sizeof buf, "%02X ", x);
                out += buf;
            }
            out.pop_back();
            return out;
        }
        if (cmd == "poke" && w.size() >= 5) {
            Station& st = stationOf(sim, w[1]);
            std::uint8_t zone;
            std::uint16_t address;
            location(w[2], w[3], zone, address);
            Bytes data;
            for (std::size_t i = 4; i < w.size(); ++i)
                data.push_back(static_cast<std::uint8_t>(number(w[i], 0, 255, "byte")));
            st.poke(zone, address, data);
            return "ok: " + std::to_string(data.size()) + " bytes";
        }
        if (cmd == "identity" && w.size() >= 3) {
            Station& st = stationOf(sim, w[1]);
            const std::size_t at = line.find(w[2], line.find(w[1]) + w[1].size());
            st.setIdentity(line.substr(at));
            return "ok: identity '" + st.identity() + "'";
        }
        if (cmd == "help")
            return commandHelp();
        throw std::invalid_argument("unknown command '" + line + "'; try help");
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
}

std::string runCommand(const std::vector<Target>& targets, const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;)
        w.push_back(s);
    if (w.empty() || targets.empty())
        return "";
    const Target* t = &targets.front();
    std::string rest = line;
    if (w[0][0] == '@') {
        const std::string address = w[0].substr(1);
        t = nullptr;
        for (const Target& c : targets)
            if (c.address == address)
                t = &c;
        if (!t)
            return "error: no PLC address " + address;
        rest = line.substr(line.find(w[0]) + w[0].size());
        w.erase(w.begin());
        if (w.empty())
            return "error: a command follows the address";
    }
    try {
        if (w[0] == "udp") {
            if (!t->udp)
                throw std::invalid_argument("no UDP at " + t->address);
            return udpCommand(*t->udp, w);
        }
        if (w[0] == "tcp") {
            if (!t->tcp)
                throw std::invalid_argument("no TCP at " + t->address);
            return tcpCommand(*t->tcp, w);
        }
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
    return runCommand(*t->sim, rest, t->setLatency);
}

}  // namespace plcsim
