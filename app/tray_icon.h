#pragma once
// The main window's tray icon (RxTrayIcon1) behind a small interface, so that tests can give
// one where the platform has no system tray.
#include <QIcon>
#include <functional>
#include <memory>

class QObject;

namespace vos {

inline constexpr char kTrayToolTip[] = "Vorn OPC Server";

class TTrayIcon {
public:
    virtual ~TTrayIcon() = default;
    // Whether a system tray shows the icon now; hiding the window needs one.
    virtual bool Available() const = 0;

    // A click on the icon.
    std::function<void()> OnClick;
};

// The system's tray icon (a child of owner named RxTrayIcon1, freed with the result), shown
// with the tip and the program's icon; nullptr where no system tray exists.
std::unique_ptr<TTrayIcon> CreateSystemTrayIcon(QObject* owner);

// The program's icon: the window's and the tray's.
QIcon ProgramIcon();

}  // namespace vos
