#include "form_placement.h"

#include <QWidget>

#include <QStyle>

#include <QScreen>

#include <charconv>

#include "app/inifile.h"

namespace vos {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::optional<std::array<std::int32_t, 4>> ParseFourIntegers(std::string_view text)
{
    std::array<std::int32_t, 4> out{};
    const char* p = text.data();
    const char* const end = text.data() + text.size();
    for (std::size_t i = 0; i < out.size(); ++i) {
        while (p < end && IsBlank(*p))
            ++p;
        const auto [next, ec] = std::from_chars(p, end, out[i]);
        if (ec != std::errc())
            return std::nullopt;
        p = next;
        while (p < end && IsBlank(*p))
            ++p;
        if (i + 1 < out.size()) {
            if (p == end || *p != ',')
                return std::nullopt;
            ++p;
        }
    }
    if (p != end)
        return std::nullopt;
    return out;
}

std::string FormatFourIntegers(const std::array<std::int32_t, 4>& v)
{
    return std::to_string(v[0]) + "," + std::to_string(v[1]) + "," + std::to_string(v[2]) + "," + std::to_string(v[3]);
}

std::optional<TWindowPlacement> ReadPlacement(const IniFile& ini)
{
    const auto normal = ParseFourIntegers(ini.ReadString(kPlacementSection, "NormPos", ""));
    if (!normal)
        return std::nullopt;
    const auto [left, top, right, bottom] = *normal;
    TWindowPlacement p;
    // Inside out, or farther and larger than any desktop: damaged, not a placement.
    constexpr std::int32_t kLimit = 1'000'000;
    for (const std::int32_t v : *normal)
        if (v < -kLimit || v > kLimit)
            return std::nullopt;
    if (right < left || bottom < top)
        return std::nullopt;
    p.Normal = QRect(QPoint(left, top), QSize(right - left, bottom - top));
    p.Flags = ini.ReadInteger(kPlacementSection, "Flags", p.Flags);
    p.ShowCmd = ini.ReadInteger(kPlacementSection, "ShowCmd", p.ShowCmd);
    p.PixelsPerInch = ini.ReadInteger(kPlacementSection, "PixelsPerInch", p.PixelsPerInch);
    if (const auto minMax = ParseFourIntegers(ini.ReadString(kPlacementSection, "MinMaxPos", ""))) {
        p.MinPosition = QPoint((*minMax)[0], (*minMax)[1]);
        p.MaxPosition = QPoint((*minMax)[2], (*minMax)[3]);
    }
    return p;
}

void WritePlacement(IniFile& ini, const TWindowPlacement& p)
{
    ini.WriteInteger(kPlacementSection, "Flags", p.Flags);
    ini.WriteInteger(kPlacementSection, "ShowCmd", p.ShowCmd);
    ini.WriteInteger(kPlacementSection, "PixelsPerInch", p.PixelsPerInch);
    ini.WriteString(kPlacementSection, "MinMaxPos",
                    FormatFourIntegers({p.MinPosition.x(), p.MinPosition.y(), p.MaxPosition.x(), p.MaxPosition.y()}));
    const QRect& n = p.Normal;
    ini.WriteString(kPlacementSection, "NormPos",
                    FormatFourIntegers({n.left(), n.top(), n.left() + n.width(), n.top() + n.height()}));
}

bool PlacementFits(const QRect& normal, const std::vector<QRect>& screens, QSize minimum)
{
    if (normal.width() < minimum.width() || normal.height() < minimum.height())
        return false;
    for (const QRect& screen : screens)
        if (screen.contains(normal.topLeft()) && screen.contains(normal.center()))
            return true;
    return false;
}

void CentreOnScreen(QWidget& window)
{
    if (const QScreen* screen = window.screen())
        window.move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window.frameGeometry().size(),
                                        screen->availableGeometry())
                        .topLeft());
}

}  // namespace vos
