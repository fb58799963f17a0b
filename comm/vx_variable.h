#pragma once
// One PLC variable, or a service variable bound to a station field.
#include <cstdint>
#include <string>

#include "vx_classes.h"

namespace vx {

class TVariable : public TTreeObject {
public:
    explicit TVariable(TTreeObject* owner);
    ~TVariable() override;

    TStation* GetStation() const;

    std::int32_t Zone = 3;
    std::int32_t Address = 0;
    std::int32_t BitNumber = 0;
};

}  // namespace vx
