#include "vx_lunaro.h"

namespace vx {

TLunaro::TLunaro(TTreeObject* owner) : TCOM(owner)
{
    ObjectType = otLunaroChannel;
    Name = "Lunaro";
}

void TLunaro::SendPacket(std::unique_ptr<TPacket> packet)
{
    FailUnsent(std::move(packet), "the development environment's service is not available");
}

}  // namespace vx
