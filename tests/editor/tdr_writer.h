#pragma once
// A small ".tdr" writer: the declaration tests and the import benchmark build their files with it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace editor_test {

struct TdrRec {
    std::string name;
    std::uint8_t type = 28;
    std::uint8_t elem = 0;
    std::uint16_t address = 0;
    std::uint16_t bit = 0;
    std::uint16_t count = 0;
    std::uint16_t memberBase = 0;
    std::uint8_t zone = 5;
    std::uint8_t cls = 25;
    std::uint8_t flags = 2;
    int nameLength = -1;  // the length byte; -1: the name's own
};

inline void PutU16(std::string& s, std::size_t at, std::uint16_t v)
{
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

inline std::string Record(const TdrRec& r)
{
    std::string b(32, '\0');
    b[0] = static_cast<char>(r.nameLength >= 0 ? r.nameLength : static_cast<int>(r.name.size()));
    for (std::size_t i = 0; i < r.name.size() && i < 15; ++i)
        b[1 + i] = r.name[i];
    b[16] = static_cast<char>(r.type);
    b[17] = static_cast<char>(r.elem);
    b[18] = static_cast<char>(r.cls);
    b[19] = static_cast<char>(r.zone);
    PutU16(b, 23, r.address);
    PutU16(b, 25, r.bit);
    PutU16(b, 27, r.count);
    PutU16(b, 29, r.memberBase);
    b[31] = static_cast<char>(r.flags);
    return b;
}

// The 13 records never imported, then recs from record 13 on; count: the header's, -1 for all.
inline std::string Tdr(const std::vector<TdrRec>& recs, std::int32_t count = -1, std::int32_t format = 27)
{
    const std::int32_t n = count >= 0 || count < -1 ? count : static_cast<std::int32_t>(13 + recs.size());
    std::string s;
    for (std::int32_t v : {n, format})
        for (int i = 0; i < 4; ++i)
            s.push_back(static_cast<char>((static_cast<std::uint32_t>(v) >> (8 * i)) & 0xFF));
    for (int i = 0; i < 13; ++i)
        s += Record({"Sys" + std::to_string(i)});
    for (const auto& r : recs)
        s += Record(r);
    return s;
}

// A structure at record 13 whose members are records 14 ... (member base 13).
inline std::vector<TdrRec> Structure(const std::string& name, std::uint16_t address, std::vector<TdrRec> members,
                                     int declaredCount = -1)
{
    std::vector<TdrRec> out;
    out.push_back({name, 36, 0, address, 0,
                   static_cast<std::uint16_t>(declaredCount >= 0 ? declaredCount : static_cast<int>(members.size())),
                   13});
    for (auto& m : members) {
        m.cls = 0;  // members are not exported variables of their own
        out.push_back(m);
    }
    return out;
}

}  // namespace editor_test
