#pragma once
// The progress window shown while the editor loads, saves or imports. The work runs without
// the event loop, so the window repaints its bar itself, a few times a second at most.
#include <QDialog>
#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

class QProgressBar;

namespace vos {

// Captions of the progress window.
enum : std::int32_t {
    kSplashImportingText = 406,  // "Items import in progress."
    kSplashSavingText = 407,     // "Saving configuration."
    kSplashLoadingText = 408,    // "Loading configuration."
};

class TF_Splash : public QDialog {
    Q_OBJECT

public:
    static constexpr int kClientWidth = 292;
    static constexpr int kClientHeight = 17;
    // Repaints of the bar are at least this far apart (about 20 a second).
    static constexpr std::int64_t kRepaintIntervalMs = 50;

    // The caption is the catalogue text of captionId in the current language.
    explicit TF_Splash(std::int32_t captionId, QWidget* parent = nullptr);
    explicit TF_Splash(const QString& caption, QWidget* parent = nullptr);

    // Shows the window, centred on the screen, without making it modal.
    void ShowProgress();

    // The units of work, kept in 0..2,147,483,647; the position does not pass it.
    template <std::integral T>
    void SetMaximum(T units)
    {
        SetMaximumClamped(Clamp(units));
    }
    int Maximum() const { return maximum_; }
    // One unit done; beyond the maximum the position stays there.
    void Advance() { SetPositionClamped(position_ < maximum_ ? position_ + 1 : maximum_); }
    template <std::integral T>
    void SetPosition(T position)
    {
        SetPositionClamped(Clamp(position));
    }
    int Position() const { return position_; }

    QProgressBar* ProgressBar() const { return bar_; }

private:
    template <std::integral T>
    static int Clamp(T value)
    {
        if (std::cmp_less(value, 0))
            return 0;
        if (std::cmp_greater(value, std::numeric_limits<int>::max()))
            return std::numeric_limits<int>::max();
        return static_cast<int>(value);
    }
    void SetMaximumClamped(int maximum);
    void SetPositionClamped(int position);
    // Hands the range and the position to the bar and repaints it at once, unless the last
    // repaint is too recent; then the next event loop paints it.
    void UpdateBar();

    QProgressBar* bar_;
    int maximum_ = 100;
    int position_ = 0;
    std::int64_t lastRepaintMs_ = 0;
    bool repainted_ = false;
};

}  // namespace vos
