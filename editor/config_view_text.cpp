#include "config_view_text.h"

#include <QBrush>
#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>
#include <algorithm>
#include <array>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_variable.h"
#include "config_editor.h"
#include "config_tree.h"

namespace vos {

namespace {

// Catalogue ids of the views' texts.
enum : std::int32_t {
    kTextServerCount = 50,
    kTextItemCount = 51,
    kTextFolderCount = 52,
    kTextRead = 56,
    kTextWrite = 57,
    kTextUserValue = 61,
    kTextRandomValue = 62,
    kTextRamp = 63,
    kTextRealValue = 64,
};

constexpr std::array<std::int32_t, kConfigViewColumns> kColumnCaptionIds = {12, 10, 11, 58, 13, 59};

// Image indexes of columns 3 and 4.
enum : int {
    kImgReadWrite = 26,
    kImgReadOnly = 27,
    kImgWriteOnly = 28,
    kImgNoAccess = 29,
    kImgSimulated = 30,
    kImgRealValue = 31,
};

// The record's zones 0 to 4; ZoneName speaks the registered codes, where M is a bit.
std::string RecordZoneLetter(std::int32_t zone)
{
    static constexpr const char* kLetters[] = {"X", "Y", "S", "R", "M"};
    return zone >= 0 && zone <= 4 ? kLetters[zone] : vx::ZoneName(zone);
}

std::string TypeName(std::int32_t varType) { return vx::VarTypeName(static_cast<std::uint16_t>(varType)); }

}  // namespace

std::string VST_GetText(const TConfigNodeRec& rec, int column)
{
    const bool station = rec.Kind == nkStation;
    const bool variable = rec.Kind == nkVariable;
    switch (column) {
    case 0:
        return rec.Name;
    case 1:
        if (station)
            return std::to_string(rec.BusAddress);
        if (variable && rec.ServiceCode == 0) {
            auto text = RecordZoneLetter(rec.Zone) + std::to_string(rec.Address);
            if (rec.VarType == VT_BOOL)
                text += "." + std::to_string(rec.BitNumber);
            return text;
        }
        return {};
    case 2:
        if (station)
            return vx::PlcFamilyName(rec.StationType);
        if (variable)
            return rec.Scaled ? TypeName(rec.VarType) + "/" + TypeName(rec.ScaledVarType) : TypeName(rec.VarType);
        return {};
    case 3:
        if (!variable)
            return {};
        if (rec.Readable && rec.Writable)
            return vx::GetLangText(kTextRead) + "/" + vx::GetLangText(kTextWrite);
        if (rec.Readable)
            return vx::GetLangText(kTextRead);
        if (rec.Writable)
            return vx::GetLangText(kTextWrite);
        return {};
    case 4:
        if (!variable)
            return {};
        if (!rec.Simulated)
            return vx::GetLangText(kTextRealValue);
        switch (rec.SimulationType) {
        case 0: return vx::GetLangText(kTextUserValue);
        case 1: return vx::GetLangText(kTextRandomValue);
        case 2: return vx::GetLangText(kTextRamp);
        default: return {};
        }
    case 5:
        return vx::CrLfToBlanks(rec.Comment);
    default:
        return {};
    }
}

int VST_GetImageIndex(const TConfigNodeRec& rec, int column)
{
    if (column == 0)
        return TConfigEditor::GetNodeImageIndex(rec);
    if (rec.Kind != nkVariable)
        return -1;
    if (column == 3) {
        if (rec.Readable)
            return rec.Writable ? kImgReadWrite : kImgReadOnly;
        return rec.Writable ? kImgWriteOnly : kImgNoAccess;
    }
    if (column == 4)
        return rec.Simulated ? kImgSimulated : kImgRealValue;
    return -1;
}

int VST_GetStateImageIndex(const TConfigNodeRec& rec)
{
    if (!rec.Valid)
        return 0;
    return rec.Saved ? -1 : 1;
}

std::string GetNodePath(const TConfigNode& node)
{
    std::vector<const TConfigNode*> chain;
    for (const auto* n = &node; n && !n->IsRoot() && n->Rec().Kind != nkServer; n = n->Parent())
        chain.push_back(n);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty())
            path += '.';
        path += (*it)->Rec().Name;
    }
    return path;
}

std::string StatusBarText(const TConfigNode& node, TListCounts counts)
{
    std::string text;
    switch (node.Rec().Kind) {
    case nkServer:
        text = vx::GetLangText(kTextServerCount) + std::to_string(counts.Items);
        break;
    case nkStation:
    case nkFolder:
        text = vx::GetLangText(kTextItemCount) + std::to_string(counts.Items);
        break;
    case nkVariable:
        text = GetNodePath(node);
        break;
    default:
        break;
    }
    if (counts.Folders > 0)
        text += ";" + vx::GetLangText(kTextFolderCount) + std::to_string(counts.Folders);
    return text;
}

QString ConfigColumnCaption(int column)
{
    if (column < 0 || column >= kConfigViewColumns)
        return {};
    return QString::fromStdString(vx::GetLangText(kColumnCaptionIds[static_cast<std::size_t>(column)]));
}

// --- Images ---

namespace {

constexpr int kImageSize = 16;

QPixmap BlankPixmap(int width = kImageSize)
{
    QPixmap pm(width, kImageSize);
    pm.fill(Qt::transparent);
    return pm;
}

void DrawFolder(QPainter& p, QColor fill)
{
    p.setPen(fill.darker(160));
    p.setBrush(fill);
    p.drawRect(QRectF(1.5, 3.5, 6, 2));
    p.drawRect(QRectF(1.5, 5.5, 13, 8));
}

void DrawStation(QPainter& p, QColor body)
{
    // A PLC rack: a body with a row of module slots and a status lamp.
    p.setPen(body.darker(170));
    p.setBrush(body);
    p.drawRect(QRectF(1.5, 2.5, 13, 11));
    p.setBrush(body.lighter(150));
    for (int i = 0; i < 3; ++i)
        p.drawRect(QRectF(3.5 + i * 3.5, 4.5, 2, 7));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 220, 40));
    p.drawEllipse(QRectF(12, 4, 2, 2));
}

// A variable type: a tag in the type's colour with a mark for its kind of value; an array
// draws the tag three times, stacked.
struct TTypeImage {
    int index;
    QColor colour;
    char mark;  // 'b' bit, '1' '2' '4' bytes wide, 'i' signed, 'f' float, 'd' double, 't' time, 's' text
    bool array;
};

void DrawTypeMark(QPainter& p, const QRectF& r, char mark)
{
    p.setPen(QPen(Qt::white, 1.2));
    p.setBrush(Qt::NoBrush);
    const auto c = r.center();
    switch (mark) {
    case 'b':  // a square wave
        p.drawPolyline(QPolygonF({QPointF(r.left() + 1, c.y() + 2), QPointF(c.x() - 1, c.y() + 2),
                                  QPointF(c.x() - 1, c.y() - 2), QPointF(r.right() - 1, c.y() - 2)}));
        break;
    case '1':
    case '2':
    case '4': {  // bars for the width
        const int bars = mark - '0';
        for (int i = 0; i < bars; ++i) {
            const double x = r.left() + 2 + i * (r.width() - 4) / std::max(bars, 1);
            p.drawLine(QPointF(x + 0.5, r.top() + 2), QPointF(x + 0.5, r.bottom() - 2));
        }
        break;
    }
    case 'i':  // a minus sign before a bar
        p.drawLine(QPointF(r.left() + 1.5, c.y()), QPointF(c.x() - 0.5, c.y()));
        p.drawLine(QPointF(c.x() + 1.5, r.top() + 2), QPointF(c.x() + 1.5, r.bottom() - 2));
        break;
    case 'f':
    case 'd':  // a point between digits' bars; double has two
        p.drawLine(QPointF(r.left() + 2, r.top() + 2), QPointF(r.left() + 2, r.bottom() - 2));
        p.drawPoint(QPointF(c.x(), r.bottom() - 2));
        p.drawLine(QPointF(r.right() - 2, r.top() + 2), QPointF(r.right() - 2, r.bottom() - 2));
        if (mark == 'd')
            p.drawLine(QPointF(r.right() - 4, r.top() + 2), QPointF(r.right() - 4, r.bottom() - 2));
        break;
    case 't':  // a clock
        p.drawEllipse(QRectF(c.x() - 3, c.y() - 3, 6, 6));
        p.drawLine(c, QPointF(c.x(), c.y() - 2));
        p.drawLine(c, QPointF(c.x() + 2, c.y()));
        break;
    case 's':  // lines of text
        for (int i = 0; i < 3; ++i) {
            const double y = r.top() + 2.5 + i * 2.5;
            p.drawLine(QPointF(r.left() + 2, y), QPointF(r.right() - 2 - (i % 2) * 2, y));
        }
        break;
    default:
        break;
    }
}

void DrawType(QPainter& p, const TTypeImage& t)
{
    const auto tag = [&](QRectF r) {
        p.setPen(t.colour.darker(160));
        p.setBrush(t.colour);
        p.drawRoundedRect(r, 2, 2);
        return r;
    };
    if (t.array) {
        tag(QRectF(4.5, 0.5, 11, 10));
        tag(QRectF(2.5, 2.5, 11, 10));
        DrawTypeMark(p, tag(QRectF(0.5, 4.5, 11, 10)), t.mark);
    } else {
        DrawTypeMark(p, tag(QRectF(1.5, 2.5, 13, 11)), t.mark);
    }
}

void DrawArrow(QPainter& p, QColor colour, bool up, double x)
{
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    const double tip = up ? 1.5 : 14.5;
    const double base = up ? 7.5 : 8.5;
    p.drawPolygon(QPolygonF({QPointF(x, tip), QPointF(x - 3.5, base), QPointF(x + 3.5, base)}));
    p.drawRect(QRectF(x - 1.5, up ? base : 1.5, 3, up ? 14.5 - base : base - 1.5));
}

void DrawImage(QPainter& p, int index)
{
    static const TTypeImage kTypes[] = {
        {9, QColor(0, 130, 0), 'b', false},      {10, QColor(30, 90, 200), '1', false},
        {11, QColor(30, 90, 200), '2', false},   {12, QColor(30, 90, 200), '4', false},
        {13, QColor(150, 60, 170), 'i', false},  {14, QColor(150, 60, 170), '2', false},
        {15, QColor(200, 110, 0), 'f', false},   {34, QColor(200, 110, 0), 'd', false},
        {32, QColor(0, 140, 150), 't', false},   {16, QColor(120, 120, 120), 's', false},
        {17, QColor(0, 130, 0), 'b', true},      {18, QColor(30, 90, 200), '1', true},
        {19, QColor(30, 90, 200), '2', true},    {20, QColor(30, 90, 200), '4', true},
        {21, QColor(150, 60, 170), 'i', true},   {22, QColor(150, 60, 170), '2', true},
        {23, QColor(200, 110, 0), 'f', true},    {35, QColor(200, 110, 0), 'd', true},
        {33, QColor(0, 140, 150), 't', true},    {24, QColor(120, 120, 120), 's', true},
    };
    for (const auto& t : kTypes)
        if (t.index == index) {
            DrawType(p, t);
            return;
        }
    switch (index) {
    case 0:  // the server: a tower with drive slots
        p.setPen(QColor(20, 30, 90));
        p.setBrush(QColor(60, 80, 170));
        p.drawRect(QRectF(3.5, 0.5, 9, 15));
        p.setPen(QColor(200, 210, 240));
        p.drawLine(QPointF(5, 3.5), QPointF(11, 3.5));
        p.drawLine(QPointF(5, 6.5), QPointF(11, 6.5));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 220, 40));
        p.drawEllipse(QRectF(7, 11, 2, 2));
        break;
    case 1:
        DrawFolder(p, QColor(240, 200, 60));
        break;
    case 25:  // the service folder: grey, with a gear-like dot
        DrawFolder(p, QColor(170, 180, 195));
        p.setPen(QPen(QColor(70, 80, 100), 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(6, 7.5, 5, 5));
        break;
    case 3:
        DrawStation(p, QColor(70, 140, 70));
        break;
    case 4:
        DrawStation(p, QColor(60, 100, 180));
        break;
    case 5:
        DrawStation(p, QColor(210, 120, 40));
        break;
    case 8:  // the modem: a flat box with an antenna and waves
        p.setPen(QColor(60, 60, 60));
        p.setBrush(QColor(160, 160, 160));
        p.drawRect(QRectF(1.5, 9.5, 13, 5));
        p.drawLine(QPointF(11.5, 9.5), QPointF(11.5, 3.5));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(8, 1, 7, 5), 30 * 16, 120 * 16);
        p.setPen(QColor(40, 220, 40));
        p.drawPoint(QPointF(4, 12));
        break;
    case kImgReadWrite:
        DrawArrow(p, QColor(0, 150, 0), true, 4.5);
        DrawArrow(p, QColor(200, 40, 40), false, 11.5);
        break;
    case kImgReadOnly:
        DrawArrow(p, QColor(0, 150, 0), true, 8);
        break;
    case kImgWriteOnly:
        DrawArrow(p, QColor(200, 40, 40), false, 8);
        break;
    case kImgNoAccess:
        p.setPen(QPen(QColor(130, 130, 130), 2));
        p.drawLine(QPointF(3, 3), QPointF(13, 13));
        p.drawLine(QPointF(13, 3), QPointF(3, 13));
        break;
    case kImgSimulated: {  // a violet wave: a value the server makes up
        p.setPen(QPen(QColor(140, 50, 190), 2));
        p.setBrush(Qt::NoBrush);
        QPainterPath wave(QPointF(1, 8));
        wave.cubicTo(QPointF(4, 0), QPointF(6, 0), QPointF(8, 8));
        wave.cubicTo(QPointF(10, 16), QPointF(12, 16), QPointF(15, 8));
        p.drawPath(wave);
        break;
    }
    case kImgRealValue:  // a plug: the PLC's value
        p.setPen(QColor(20, 90, 20));
        p.setBrush(QColor(60, 170, 60));
        p.drawRoundedRect(QRectF(3.5, 5.5, 9, 7), 2, 2);
        p.drawLine(QPointF(6.5, 1.5), QPointF(6.5, 5.5));
        p.drawLine(QPointF(9.5, 1.5), QPointF(9.5, 5.5));
        p.drawLine(QPointF(8, 12.5), QPointF(8, 15.5));
        break;
    default:
        break;
    }
}

bool HasImage(int index)
{
    return index >= 0 && index < kConfigImageCount && index != 2 && index != 6 && index != 7;
}

void DrawStateImage(QPainter& p, int index)
{
    if (index == 0) {  // not validated: a red mark
        p.setPen(QColor(150, 0, 0));
        p.setBrush(QColor(220, 40, 40));
        p.drawEllipse(QRectF(3.5, 3.5, 9, 9));
        p.setPen(QPen(Qt::white, 1.5));
        p.drawLine(QPointF(8, 5.5), QPointF(8, 8.5));
        p.drawPoint(QPointF(8, 10.5));
    } else if (index == 1) {  // changed since the file: a yellow dot
        p.setPen(QColor(150, 110, 0));
        p.setBrush(QColor(250, 200, 30));
        p.drawEllipse(QRectF(4.5, 4.5, 7, 7));
    }
}

QIcon MakeIcon(const QPixmap& pm) { return QIcon(pm); }

}  // namespace

QIcon ConfigImage(int index)
{
    static std::array<QIcon, kConfigImageCount> cache;
    if (!HasImage(index))
        return {};
    auto& icon = cache[static_cast<std::size_t>(index)];
    if (icon.isNull()) {
        auto pm = BlankPixmap();
        {
            QPainter p(&pm);
            p.setRenderHint(QPainter::Antialiasing);
            DrawImage(p, index);
        }
        icon = MakeIcon(pm);
    }
    return icon;
}

QIcon ConfigStateImage(int index)
{
    static std::array<QIcon, 2> cache;
    if (index != 0 && index != 1)
        return {};
    auto& icon = cache[static_cast<std::size_t>(index)];
    if (icon.isNull()) {
        auto pm = BlankPixmap();
        {
            QPainter p(&pm);
            p.setRenderHint(QPainter::Antialiasing);
            DrawStateImage(p, index);
        }
        icon = MakeIcon(pm);
    }
    return icon;
}

namespace {

// Column 0 shows the state image and the node's image side by side, always two images wide
// so that names line up whether a node has a state image or not.
QIcon NameColumnIcon(int stateIndex, int imageIndex)
{
    static std::array<std::array<QIcon, kConfigImageCount + 1>, 3> cache;
    const int s = stateIndex < 0 ? 2 : stateIndex;
    const int i = HasImage(imageIndex) ? imageIndex : kConfigImageCount;
    auto& icon = cache[static_cast<std::size_t>(s)][static_cast<std::size_t>(i)];
    if (icon.isNull()) {
        auto pm = BlankPixmap(2 * kImageSize);
        {
            QPainter p(&pm);
            if (stateIndex >= 0)
                p.drawPixmap(0, 0, ConfigStateImage(stateIndex).pixmap(kImageSize, kImageSize));
            if (i < kConfigImageCount)
                p.drawPixmap(kImageSize, 0, ConfigImage(imageIndex).pixmap(kImageSize, kImageSize));
        }
        icon = MakeIcon(pm);
    }
    return icon;
}

}  // namespace

QVariant ConfigCellData(const TConfigNodeRec& rec, int column, int role, bool dimmed)
{
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(VST_GetText(rec, column));
    case Qt::DecorationRole: {
        const int image = VST_GetImageIndex(rec, column);
        if (column == 0)
            return NameColumnIcon(VST_GetStateImageIndex(rec), image);
        if (image < 0)
            return {};
        return ConfigImage(image);
    }
    case kImageIndexRole:
        return VST_GetImageIndex(rec, column);
    case kStateImageRole:
        return column == 0 ? QVariant(VST_GetStateImageIndex(rec)) : QVariant();
    case Qt::ForegroundRole:
        return dimmed ? QVariant(QBrush(QColor(Qt::gray))) : QVariant();
    default:
        return {};
    }
}

}  // namespace vos
