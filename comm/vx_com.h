#pragma once
// The channel base, itself the serial-line channel, and the list of serial channels.
#include <memory>
#include <vector>

#include "vx_classes.h"

namespace vx {

class TCOM : public TParentTreeObject {
public:
    explicit TCOM(TTreeObject* owner);
    ~TCOM() override;

    virtual void Start();
    virtual void Stop();

    bool Polling = false;
};

// Owns the serial channels, one per COM port.
class TComList {
public:
    TComList() = default;
    ~TComList() { Clear(); }
    TComList(const TComList&) = delete;
    TComList& operator=(const TComList&) = delete;

    void Clear();
    std::size_t size() const { return items_.size(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    std::vector<std::unique_ptr<TCOM>>& items() { return items_; }

private:
    std::vector<std::unique_ptr<TCOM>> items_;
};

}  // namespace vx
