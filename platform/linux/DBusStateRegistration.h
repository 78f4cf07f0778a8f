#pragma once

#include "DBusStateNotifications.h"

#include <QDBusConnection>
#include <QObject>
#include <functional>

namespace zorvane {

// The receiving end of one observed state notification: a QObject whose slot QtDBus calls in
// the thread that created it, subscribed for exactly as long as it lives.
class DBusStateRegistration final : public QObject, public StateNotifications::Registration {
    Q_OBJECT

public:
    DBusStateRegistration(QDBusConnection connection, DBusStateNotifications::SignalAddress address,
                          std::function<void()> handler);
    ~DBusStateRegistration() override;

    bool isConnected() const { return connected_; }

private slots:
    void deliver();

private:
    QDBusConnection connection_;
    const DBusStateNotifications::SignalAddress address_;
    const std::function<void()> handler_;
    bool connected_ = false;
};

} // namespace zorvane
