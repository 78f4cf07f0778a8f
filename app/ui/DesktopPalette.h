#pragma once

#include "platform/linux/DesktopColorScheme.h"

#include <QObject>
#include <QPalette>
#include <optional>

namespace zorvane {

// Makes the application's palette follow the desktop's light or dark wish where the platform
// theme does not: while the desktop asks for dark windows and the palette in use is light, the
// application gets a dark palette; when the desktop asks for light again, the palette it had
// comes back. A palette that is already dark (a dark desktop theme) is left alone. The views
// read everything from the palette, so they follow at once.
class DesktopPalette : public QObject {
    Q_OBJECT

public:
    // Follows `scheme`, which must outlive this object.
    explicit DesktopPalette(const DesktopColorScheme& scheme, QObject* parent = nullptr);

    static QPalette darkPalette();
    static bool isDark(const QPalette& palette);

    // Follows the portal of the session bus from now on; once per process, owned by the
    // application object.
    static void followSessionDesktop();

private:
    void apply();

    const DesktopColorScheme& scheme_;
    // The palette in use before the dark one replaced it.
    std::optional<QPalette> replaced_;
};

} // namespace zorvane
