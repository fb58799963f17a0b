#pragma once
// Dial-up modem channels.
#include <memory>
#include <vector>

#include "vx_com.h"

namespace vx {

class TModem : public TCOM {
public:
    explicit TModem(TTreeObject* owner);
    ~TModem() override;

    virtual void StartHangUp() {}
};

// Owns every modem of the configuration.
class TModemList {
public:
    TModemList() = default;
    ~TModemList() { Clear(); }
    TModemList(const TModemList&) = delete;
    TModemList& operator=(const TModemList&) = delete;

    TModem* AddModem();
    void HangUpAll();
    void Clear();
    std::size_t size() const { return items_.size(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<std::unique_ptr<TModem>> items_;
};

}  // namespace vx
