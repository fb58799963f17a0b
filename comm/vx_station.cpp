#include "vx_station.h"

#include "vx_lang.h"

namespace vx {

TStation::TStation(TTreeObject* owner)
    : TParentTreeObject(owner),
      Primary(std::make_unique<TConnectionParams>()),
      Standby(std::make_unique<TConnectionParams>())
{
    ObjectType = otStation;
    Name = GetLangText(0) + std::to_string(ID);
}

// Folders and variables go first, while the station's fields still exist.
TStation::~TStation() { DestroyChildren(); }

}  // namespace vx
