#include "main_frames.h"

#include "editor/frm_config.h"

namespace vos {

const void* MonitorObjectAddress(const opc::TMonitorObject& object)
{
    return std::visit([](auto* o) -> const void* { return o; }, object);
}

void TMonitorTrace::Init()
{
    calls_.push_back({TMonitorCall::Init});
    if (inner_)
        inner_->Init();
}

void TMonitorTrace::AddNode(TRuntimeNodeKind kind, opc::TMonitorObject object)
{
    calls_.push_back({TMonitorCall::AddNode, kind, MonitorObjectAddress(object)});
    if (inner_)
        inner_->AddNode(kind, object);
}

void TMonitorTrace::RemoveNode(TRuntimeNodeKind kind, opc::TMonitorObject object)
{
    calls_.push_back({TMonitorCall::RemoveNode, kind, MonitorObjectAddress(object)});
    if (inner_)
        inner_->RemoveNode(kind, object);
}

void TMonitorTrace::RenameNode(opc::TDA2* server)
{
    calls_.push_back({TMonitorCall::RenameNode, -1, server});
    if (inner_)
        inner_->RenameNode(server);
}

void TMonitorTrace::InvalidateNode(void* node)
{
    calls_.push_back({TMonitorCall::InvalidateNode, -1, nullptr, node});
    if (inner_)
        inner_->InvalidateNode(node);
}

void TMonitorTrace::FullCollapse()
{
    calls_.push_back({TMonitorCall::FullCollapse});
    if (inner_)
        inner_->FullCollapse();
}

void TMonitorTrace::FillComList()
{
    calls_.push_back({TMonitorCall::FillComList});
    if (inner_)
        inner_->FillComList();
}

std::int32_t TConfigColumnsAdapter::ColumnWidth(ConfigView view, int column) const
{
    return frame_.ColumnWidth(view == ConfigView::List, column);
}

void TConfigColumnsAdapter::SetColumnWidth(ConfigView view, int column, std::int32_t width)
{
    frame_.SetColumnWidth(view == ConfigView::List, column, width);
}

}  // namespace vos
