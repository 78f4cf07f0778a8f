#include "app/ui/DesktopPalette.h"

#include <QDBusConnection>
#include <QGuiApplication>

namespace zorvane {

DesktopPalette::DesktopPalette(const DesktopColorScheme& scheme, QObject* parent)
    : QObject(parent), scheme_(scheme) {
    connect(&scheme, &DesktopColorScheme::preferenceChanged, this, &DesktopPalette::apply);
    apply();
}

QPalette DesktopPalette::darkPalette() {
    // The dark variant of the common GTK theme: what a GNOME user sees in other windows.
    const QColor window(0x35, 0x35, 0x35);
    const QColor text(0xee, 0xee, 0xec);
    QPalette palette(window, window);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, QColor(0x2d, 0x2d, 0x2d));
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, window);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Highlight, QColor(0x15, 0x53, 0x9e));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, QColor(0x1e, 0x1e, 0x1e));
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x98));
    palette.setColor(QPalette::Link, QColor(0x8a, 0xb4, 0xf8));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x91, 0x91, 0x90));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x91, 0x91, 0x90));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x91, 0x91, 0x90));
    return palette;
}

bool DesktopPalette::isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

void DesktopPalette::followSessionDesktop() {
    static bool following = false;
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (following || !application) {
        return;
    }
    following = true;
    auto* scheme = new DesktopColorScheme(QDBusConnection::sessionBus(), application);
    new DesktopPalette(*scheme, scheme);
}

void DesktopPalette::apply() {
    if (scheme_.preference() == DesktopColorScheme::Preference::dark) {
        if (!replaced_ && !isDark(QGuiApplication::palette())) {
            replaced_ = QGuiApplication::palette();
            QGuiApplication::setPalette(darkPalette());
        }
        return;
    }
    if (replaced_) {
        QGuiApplication::setPalette(*replaced_);
        replaced_.reset();
    }
}

} // namespace zorvane
