#pragma once
// The UDP channel: one for the process, datagrams of up to five telegrams per PLC address.
#include "vx_ethernet.h"

namespace vx {

class TUdpSocket : public TSocket {
public:
    explicit TUdpSocket(TTreeObject* owner);
};

}  // namespace vx
