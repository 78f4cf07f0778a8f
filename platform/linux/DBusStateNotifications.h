#pragma once

#include "platform/StateNotifications.h"

#include <QDBusConnection>
#include <QString>

namespace zorvane {

// State notifications as D-Bus signals on the session bus, one signal per name: the name's last
// dot-separated component is the member, the rest the interface, and the interface with dots as
// slashes the object path ("a.b.C.didChange" is member "didChange" of interface "a.b.C" on path
// "/a/b/C"). Without a session bus, or for a name that does not map onto a signal, posting and
// observing do nothing.
class DBusStateNotifications final : public StateNotifications {
public:
    DBusStateNotifications();
    explicit DBusStateNotifications(QDBusConnection connection);

    void post(const std::string& name) override;
    std::unique_ptr<Registration> observe(const std::string& name,
                                          std::function<void()> handler) override;

    struct SignalAddress {
        QString path;
        QString interface;
        QString member;
    };
    // Empty path when the name does not form a valid signal address.
    static SignalAddress addressFor(const std::string& name);

private:
    QDBusConnection connection_;
};

} // namespace zorvane
