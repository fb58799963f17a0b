#include "vx_variable.h"

#include "vx_lang.h"
#include "vx_station.h"

namespace vx {

TVariable::TVariable(TTreeObject* owner) : TTreeObject(owner)
{
    ObjectType = otVariable;
    Name = GetLangText(2) + std::to_string(ID);
}

TVariable::~TVariable() = default;

TStation* TVariable::GetStation() const
{
    TTreeObject* node = FirstNonFolderAncestor(Owner);
    return node && node->ObjectType == otStation ? static_cast<TStation*>(node) : nullptr;
}

}  // namespace vx
