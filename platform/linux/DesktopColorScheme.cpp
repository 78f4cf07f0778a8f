#include "platform/linux/DesktopColorScheme.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace zorvane {
namespace {

// Read() answers with the value wrapped in one variant more than the signal carries.
QVariant unwrapped(QVariant value) {
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>()) {
        value = value.value<QDBusVariant>().variant();
    }
    return value;
}

} // namespace

DesktopColorScheme::DesktopColorScheme(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
    if (!bus_.isConnected()) {
        return;
    }
    // The slot's argument type must be known by name before the bus can match the signal to it;
    // without this the first connection of a process is refused.
    qRegisterMetaType<QDBusVariant>();
    // Matched by the portal's path and interface rather than its bus name, which is not
    // resolved reliably while the name changes owner; a stray sender could only pick light or
    // dark colours.
    bus_.connect(QString(), QString::fromLatin1(portalPath), QString::fromLatin1(settingsInterface),
                 QStringLiteral("SettingChanged"), this,
                 SLOT(settingChanged(QString, QString, QDBusVariant)));
    QDBusMessage read = QDBusMessage::createMethodCall(
        QString::fromLatin1(portalService), QString::fromLatin1(portalPath),
        QString::fromLatin1(settingsInterface), QStringLiteral("Read"));
    read << QString::fromLatin1(appearanceNamespace) << QString::fromLatin1(colorSchemeKey);
    // Asks a running portal only: starting one for a colour is not worth a process, and test
    // buses must not start desktop services that outlive the test.
    read.setAutoStartService(false);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(read), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                const QDBusPendingReply<QVariant> reply = *call;
                if (!reply.isError()) {
                    setPreference(fromPortalValue(reply.argumentAt(0)));
                }
                call->deleteLater();
            });
}

DesktopColorScheme::Preference DesktopColorScheme::fromPortalValue(const QVariant& value) {
    bool isNumber = false;
    const uint number = unwrapped(value).toUInt(&isNumber);
    if (!isNumber) {
        return Preference::none;
    }
    switch (number) {
    case 1:
        return Preference::dark;
    case 2:
        return Preference::light;
    default:
        return Preference::none;
    }
}

void DesktopColorScheme::settingChanged(const QString& group, const QString& key,
                                        const QDBusVariant& value) {
    if (group == QLatin1String(appearanceNamespace) && key == QLatin1String(colorSchemeKey)) {
        setPreference(fromPortalValue(value.variant()));
    }
}

void DesktopColorScheme::setPreference(Preference preference) {
    if (preference == preference_) {
        return;
    }
    preference_ = preference;
    emit preferenceChanged();
}

} // namespace zorvane
