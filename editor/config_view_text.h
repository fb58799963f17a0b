#pragma once
// What the editor's two views show of a node: the cell texts and image indexes of the six
// columns, the state image, the node's dotted path, the status-bar text of the list, and our
// own drawn image lists.
#include <QIcon>
#include <QString>
#include <QVariant>
#include <string>

#include "config_node.h"

namespace vos {

class TConfigNode;

inline constexpr int kConfigViewColumns = 6;

// The cell text of a column (0 to 5); empty outside them.
std::string VST_GetText(const TConfigNodeRec& rec, int column);
// The image of a cell; -1: no image.
int VST_GetImageIndex(const TConfigNodeRec& rec, int column);
// Column 0's state image: 0 not yet validated, 1 validated but unsaved, -1 none.
int VST_GetStateImageIndex(const TConfigNodeRec& rec);

// The node's name preceded by its ancestors' below the server, joined with ".".
std::string GetNodePath(const TConfigNode& node);

// What the list counted while it was filled.
struct TListCounts {
    int Items = 0;
    int Folders = 0;
    bool operator==(const TListCounts&) const = default;
};
// The status-bar text of the list shown for node.
std::string StatusBarText(const TConfigNode& node, TListCounts counts);

// The editor's image list and state images, drawn in code once and cached; an index without
// an image gives the null icon.
QIcon ConfigImage(int index);
QIcon ConfigStateImage(int index);
// Highest index ConfigImage draws.
inline constexpr int kConfigImageCount = 36;

// The column titles in the current language.
QString ConfigColumnCaption(int column);

// Roles both views' models answer beside Qt's (TConfigModel names them too).
inline constexpr int kNodeRole = Qt::UserRole + 1;
inline constexpr int kImageIndexRole = Qt::UserRole + 2;
inline constexpr int kStateImageRole = Qt::UserRole + 3;
// A cell's data under a role as both models give it, NodeRole aside; dimmed draws the text
// grey (a cut node's subtree).
QVariant ConfigCellData(const TConfigNodeRec& rec, int column, int role, bool dimmed);

}  // namespace vos
