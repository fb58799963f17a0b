// Configurations built from parameters: a deep chain, a large plant, a random tree.
#include <algorithm>
#include <charconv>
#include <functional>

#include "tools/cfggen/cfggen.h"

namespace cfggen {
namespace {

constexpr int kMaxLevels = 10000;  // the writer recurses once per level
constexpr long kMaxLargeNodes = 2'000'000;  // about 2 KB of memory each while writing

// Serial bus addresses a station can use on one port; the channel compares the low byte.
constexpr int kAddressesPerPort = 250;

std::string padded(long value, long largest)
{
    const std::string v = std::to_string(value);
    const std::size_t width = std::to_string(largest).size();
    return std::string(width > v.size() ? width - v.size() : 0, '0') + v;
}

// "a=1,b=2" into its pairs, each handed to `set` (which returns false for an unknown key).
void parsePairs(std::string_view text, const std::function<bool(std::string_view, long)>& set)
{
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view pair = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const std::size_t eq = pair.find('=');
        if (eq == std::string_view::npos)
            throw Error("'" + std::string(pair) + "' is not key=value");
        const std::string_view value = pair.substr(eq + 1);
        long n = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() || n < 0)
            throw Error("'" + std::string(pair) + "' needs a whole number of 0 or more");
        if (!set(pair.substr(0, eq), n))
            throw Error("unknown parameter '" + std::string(pair.substr(0, eq)) + "'");
    }
}

long folderCount(const LargeParams& p)
{
    if (p.folders <= 0 || p.depth <= 0)
        return 0;
    long total = 0;
    long level = 1;
    for (int d = 0; d < p.depth; ++d) {
        level *= p.folders;
        total += level;
        if (total > kMaxLargeNodes)
            throw Error("folders=" + std::to_string(p.folders) + ",depth=" + std::to_string(p.depth) +
                        " makes too many folders");
    }
    return total;
}

class LargeBuilder {
public:
    explicit LargeBuilder(const LargeParams& p) : p_(p) {}

    Config run()
    {
        Config cfg;
        Node server = makeNode(kind::Server, counters_);
        long leavesPerStation = 1;
        for (int d = 0; p_.folders > 0 && d < p_.depth; ++d)
            leavesPerStation *= p_.folders;
        for (int s = 0; s < p_.stations; ++s) {
            Node st = makeNode(kind::Station, counters_);
            st.rec.Name = "Station" + padded(s + 1, p_.stations);
            st.rec.ComPort = 1 + s / kAddressesPerPort;
            st.rec.BusAddress = 1 + s % kAddressesPerPort;
            if (p_.services)
                addServiceItems(st, counters_);
            stationShare_ = p_.variables / p_.stations + (s < p_.variables % p_.stations ? 1 : 0);
            leaves_ = leavesPerStation;
            leafIndex_ = 0;
            inStation_ = 0;
            fill(st, 0);
            server.children.push_back(std::move(st));
        }
        cfg.nodes.push_back(std::move(server));
        return cfg;
    }

private:
    void fill(Node& parent, int level)
    {
        if (p_.folders <= 0 || level >= p_.depth) {
            const long count = stationShare_ / leaves_ + (leafIndex_ < stationShare_ % leaves_ ? 1 : 0);
            ++leafIndex_;
            for (long i = 0; i < count; ++i)
                parent.children.push_back(variable());
            return;
        }
        for (int f = 0; f < p_.folders; ++f) {
            Node folder = makeNode(kind::Folder, counters_);
            folder.rec.Name = "Folder" + padded(f + 1, p_.folders);
            fill(folder, level + 1);
            parent.children.push_back(std::move(folder));
        }
    }

    Node variable()
    {
        const long g = nextVariable_++;
        const long k = inStation_++;
        Node v = makeNode(kind::Variable, counters_);
        const std::int32_t type = kVarTypeList[static_cast<std::size_t>(g) % kVarTypeList.size()];
        v.rec.Name = "Var" + padded(g + 1, p_.variables);
        v.rec.VarType = type;
        v.rec.Zone = 3;
        v.rec.Address = static_cast<std::int32_t>((k % 4096) * 16);
        if (type & 0x2000)
            v.rec.ArrayLength = p_.arrayLength;
        if ((type & 0xFFF) == 8)
            v.rec.StringLength = p_.stringLength;
        if ((type & 0xFFF) == 11)
            v.rec.BitNumber = static_cast<std::int32_t>(k % 8);
        return v;
    }

    const LargeParams& p_;
    Counters counters_;
    long nextVariable_ = 0;
    long stationShare_ = 0;
    long leaves_ = 1;
    long leafIndex_ = 0;
    long inStation_ = 0;
};

// splitmix64: the same trees on every platform and library.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    template <typename T, std::size_t N>
    const T& pick(const T (&items)[N])
    {
        return items[below(N)];
    }

private:
    std::uint64_t s_;
};

void reverseChildren(Node& n)
{
    std::reverse(n.children.begin(), n.children.end());
    for (Node& c : n.children)
        reverseChildren(c);
}

}  // namespace

LargeParams parseLargeParams(std::string_view text)
{
    LargeParams p;
    parsePairs(text, [&](std::string_view key, long v) {
        if (key == "stations")
            p.stations = static_cast<int>(std::min(v, 1'000'000L));
        else if (key == "folders")
            p.folders = static_cast<int>(std::min(v, 1'000'000L));
        else if (key == "depth")
            p.depth = static_cast<int>(std::min(v, 1'000L));
        else if (key == "variables")
            p.variables = v;
        else if (key == "services")
            p.services = v != 0;
        else if (key == "arraylength")
            p.arrayLength = static_cast<int>(std::min(v, 2'147'483'647L));
        else if (key == "stringlength")
            p.stringLength = static_cast<int>(std::min(v, 2'147'483'647L));
        else
            return false;
        return true;
    });
    return p;
}

std::size_t largeNodeCount(const LargeParams& p)
{
    const long perStation = 1 + (p.services ? 17 : 0) + folderCount(p);
    return static_cast<std::size_t>(1 + static_cast<long>(p.stations) * perStation + p.variables);
}

Config largeConfig(const LargeParams& p)
{
    if (p.stations < 0 || p.folders < 0 || p.depth < 0 || p.variables < 0)
        throw Error("large configuration parameters must not be negative");
    if (p.variables > 0 && p.stations == 0)
        throw Error("variables need at least one station");
    if (static_cast<long>(largeNodeCount(p)) > kMaxLargeNodes)
        throw Error("a large configuration holds at most " + std::to_string(kMaxLargeNodes) + " nodes");
    return LargeBuilder(p).run();
}

Config deepConfig(int levels)
{
    if (levels < 1 || levels > kMaxLevels)
        throw Error("nesting depth must be 1 to " + std::to_string(kMaxLevels));
    Counters counters;
    Config cfg;
    cfg.nodes.push_back(makeNode(kind::Server, counters));
    Node* cur = &cfg.nodes.back();
    for (int level = 2; level <= levels; ++level) {
        const std::uint8_t k = level == 2 ? kind::Station : level == levels ? kind::Variable : kind::Folder;
        cur->children.push_back(makeNode(k, counters));
        cur = &cur->children.back();
    }
    return cfg;
}

RandomParams parseRandomParams(std::string_view text)
{
    RandomParams p;
    parsePairs(text, [&](std::string_view key, long v) {
        if (key == "seed")
            p.seed = static_cast<std::uint64_t>(v);
        else if (key == "nodes")
            p.nodes = static_cast<int>(std::min(v, 1'000'000L));
        else
            return false;
        return true;
    });
    return p;
}

Config randomConfig(const RandomParams& p)
{
    // Small pools, so that names, case variants, addresses and ports clash often.
    static const char* const stationNames[] = {"S1", "S2", "s1", "Device1", "PLC"};
    static const char* const modemNames[] = {"M1", "m1", "Modem1", "S1"};
    static const char* const folderNames[] = {"F", "f", "G", "A", "Sub"};
    static const char* const variableNames[] = {"A", "a", "B", "Temp", "TEMP", "Value", "value",
                                                "INT_TimeStamp", "F", "X.A", "A.Value", "Name"};
    static const char* const ipAddresses[] = {"10.0.0.1", "10.0.0.2", ""};
    static const char* const initialValues[] = {"", "", "", "12", "abc", "1;2", "True", "-1"};
    static const std::int32_t connectionTypes[] = {0, 0, 2, 2, 4};
    static const std::int32_t busAddresses[] = {1, 2, 257};

    Rng rng(p.seed);
    Counters counters;
    struct Flat {
        Node node;
        std::size_t parent;
    };
    std::vector<Flat> flat;
    flat.push_back({makeNode(kind::Server, counters), npos});
    std::vector<std::size_t> containers;  // stations and folders
    for (int i = 1; i < p.nodes; ++i) {
        const std::size_t roll = rng.below(100);
        std::uint8_t k = roll < 10 ? kind::Station : roll < 14 ? kind::Modem : roll < 34 ? kind::Folder : kind::Variable;
        if (containers.empty() && k != kind::Modem)
            k = kind::Station;
        Node n = makeNode(k, counters);
        std::size_t parent = 0;
        switch (k) {
        case kind::Station:
            n.rec.Name = rng.pick(stationNames);
            n.rec.ConnectionType = rng.pick(connectionTypes);
            n.rec.ComPort = static_cast<std::int32_t>(1 + rng.below(2));
            n.rec.BusAddress = rng.pick(busAddresses);
            n.rec.IpAddress = rng.pick(ipAddresses);
            break;
        case kind::Modem:
            n.rec.Name = rng.pick(modemNames);
            n.rec.ComPort = static_cast<std::int32_t>(1 + rng.below(3));
            break;
        case kind::Folder:
            n.rec.Name = rng.pick(folderNames);
            parent = containers[rng.below(containers.size())];
            break;
        default: {
            n.rec.Name = rng.pick(variableNames);
            const std::int32_t type = kVarTypeList[rng.below(kVarTypeList.size())];
            n.rec.VarType = type;
            n.rec.ArrayLength = (type & 0x2000) ? static_cast<std::int32_t>(rng.below(4)) : 0;
            n.rec.InitialValue = rng.pick(initialValues);
            parent = containers[rng.below(containers.size())];
            break;
        }
        }
        if (k == kind::Station || k == kind::Folder)
            containers.push_back(flat.size());
        flat.push_back({std::move(n), parent});
    }
    // Every child comes after its parent: move the nodes in from the back, then restore order.
    for (std::size_t i = flat.size() - 1; i > 0; --i)
        flat[flat[i].parent].node.children.push_back(std::move(flat[i].node));
    reverseChildren(flat[0].node);
    Config cfg;
    cfg.nodes.push_back(std::move(flat[0].node));
    return cfg;
}

}  // namespace cfggen
