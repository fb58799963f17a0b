#include "vx_lunaro.h"

namespace vx {

TLunaro::TLunaro(TTreeObject* owner) : TCOM(owner)
{
    ObjectType = otLunaroChannel;
    Name = "Lunaro";
}

}  // namespace vx
