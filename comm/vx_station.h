#pragma once
// One PLC with its primary and standby connection.
#include <memory>

#include "vx_classes.h"

namespace vx {

class TCOM;

class TStation : public TParentTreeObject {
public:
    explicit TStation(TTreeObject* owner);
    ~TStation() override;

    std::unique_ptr<TConnectionParams> Primary;
    std::unique_ptr<TConnectionParams> Standby;
    TCOM* Channel = nullptr;  // the channel serving the station, not owned
};

}  // namespace vx
