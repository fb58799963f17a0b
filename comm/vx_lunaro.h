#pragma once
// The channel through the development environment's communication service.
#include "vx_com.h"

namespace vx {

class TLunaro : public TCOM {
public:
    explicit TLunaro(TTreeObject* owner);
};

}  // namespace vx
