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
    return "drop|checksum|address|length|stale|noise [N]   fault on the next N answers\n"
           "clear                                        forget pending faults\n"
           "latency MS                                   answer after MS milliseconds\n"
           "peek STATION ZONE ADDRESS COUNT              show memory (zone X Y S R M)\n"
           "poke STATION ZONE ADDRESS BYTE...            set memory\n"
           "identity STATION TEXT                        set the identity text";
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

}  // namespace plcsim
