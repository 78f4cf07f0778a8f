#pragma once

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>
#include <QString>

namespace zorvane {

// The desktop's wish for light or dark windows, as the XDG desktop portal publishes it
// ("org.freedesktop.appearance" / "color-scheme": 0 no preference, 1 dark, 2 light), read once
// and followed as the user changes it. GNOME says it only there: its Qt platform theme keeps
// the light palette whatever the user chose. Without a running portal the preference stays
// `none`.
class DesktopColorScheme : public QObject {
    Q_OBJECT

public:
    enum class Preference { none, dark, light };

    static constexpr const char* portalService = "org.freedesktop.portal.Desktop";
    static constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
    static constexpr const char* settingsInterface = "org.freedesktop.portal.Settings";
    static constexpr const char* appearanceNamespace = "org.freedesktop.appearance";
    static constexpr const char* colorSchemeKey = "color-scheme";

    // Asks the portal on the bus without waiting; preferenceChanged follows the answer.
    explicit DesktopColorScheme(QDBusConnection bus, QObject* parent = nullptr);

    Preference preference() const { return preference_; }
    // The portal's number as a preference; anything unknown is `none`.
    static Preference fromPortalValue(const QVariant& value);

signals:
    void preferenceChanged();

private slots:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void setPreference(Preference preference);

    QDBusConnection bus_;
    Preference preference_ = Preference::none;
};

} // namespace zorvane
