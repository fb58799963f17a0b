#pragma once
// The main window's placement in the settings file (FormPlacement): section Main, keys Flags,
// ShowCmd, PixelsPerInch, MinMaxPos and NormPos, laid out as the Windows window placement is,
// so that a file carried over keeps its meaning.
#include <QPoint>
#include <QRect>
#include <QSize>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

namespace vos {

class IniFile;

inline constexpr char kPlacementSection[] = "Main";
inline constexpr std::int32_t kShowNormal = 1;
inline constexpr std::int32_t kShowMaximized = 3;

struct TWindowPlacement {
    std::int32_t Flags = 0;
    std::int32_t ShowCmd = kShowNormal;
    std::int32_t PixelsPerInch = 96;
    QPoint MinPosition{-1, -1};
    QPoint MaxPosition{-1, -1};
    // The normal (not maximised) geometry; written as left, top, right, bottom with right
    // and bottom just outside it.
    QRect Normal;
    bool operator==(const TWindowPlacement&) const = default;
};

// "%d,%d,%d,%d" with blanks allowed around the numbers; nothing for anything else.
std::optional<std::array<std::int32_t, 4>> ParseFourIntegers(std::string_view text);
std::string FormatFourIntegers(const std::array<std::int32_t, 4>& values);

// The placement in the file; nothing when NormPos is absent or not four integers. The other
// keys fall back to their defaults.
std::optional<TWindowPlacement> ReadPlacement(const IniFile& ini);
void WritePlacement(IniFile& ini, const TWindowPlacement& placement);

// A placement is restored only when its normal geometry has at least the minimum size and
// lies on a screen present now: one screen holds both its top-left corner and its centre,
// so that the title bar can be reached and most of the window is seen.
bool PlacementFits(const QRect& normal, const std::vector<QRect>& screens, QSize minimum);

// Moves a window to the middle of the screen it is on, frame included (the dialogs on their
// first show).
void CentreOnScreen(QWidget& window);

}  // namespace vos
