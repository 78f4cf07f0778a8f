#include "DBusStateNotifications.h"

#include "DBusStateRegistration.h"

#include <QDBusMessage>
#include <QRegularExpression>

namespace zorvane {
namespace {

bool isValidElement(const QString& element) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    return pattern.match(element).hasMatch();
}

class NoRegistration final : public StateNotifications::Registration {};

} // namespace

DBusStateNotifications::DBusStateNotifications()
    : DBusStateNotifications(QDBusConnection::sessionBus()) {}

DBusStateNotifications::DBusStateNotifications(QDBusConnection connection)
    : connection_(std::move(connection)) {}

DBusStateNotifications::SignalAddress DBusStateNotifications::addressFor(const std::string& name) {
    const QStringList parts = QString::fromStdString(name).split(QLatin1Char('.'));
    // An interface needs two elements, and the whole name stays within D-Bus's 255 bytes.
    if (parts.size() < 3 || name.size() > 255) {
        return {};
    }
    for (const QString& part : parts) {
        if (!isValidElement(part)) {
            return {};
        }
    }
    const QStringList interfaceParts = parts.mid(0, parts.size() - 1);
    return SignalAddress{QLatin1Char('/') + interfaceParts.join(QLatin1Char('/')),
                         interfaceParts.join(QLatin1Char('.')), parts.last()};
}

void DBusStateNotifications::post(const std::string& name) {
    const SignalAddress address = addressFor(name);
    if (address.path.isEmpty() || !connection_.isConnected()) {
        return;
    }
    connection_.send(QDBusMessage::createSignal(address.path, address.interface, address.member));
}

std::unique_ptr<StateNotifications::Registration>
DBusStateNotifications::observe(const std::string& name, std::function<void()> handler) {
    const SignalAddress address = addressFor(name);
    if (address.path.isEmpty() || !connection_.isConnected()) {
        return std::make_unique<NoRegistration>();
    }
    return std::make_unique<DBusStateRegistration>(connection_, address, std::move(handler));
}

} // namespace zorvane
