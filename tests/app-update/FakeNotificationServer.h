#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace zorvane::testing {

// Plays the desktop's notification server on its own connection to the (private) session bus.
class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Shown {
        QString application;
        uint replaces = 0;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
    };

    explicit FakeNotificationServer(QStringList capabilities)
        : connection_(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                    QStringLiteral("fake-notification-server"))),
          capabilities_(std::move(capabilities)) {}
    ~FakeNotificationServer() override {
        connection_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        connection_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-notification-server"));
    }

    bool start() {
        return connection_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                          QDBusConnection::ExportAllSlots |
                                              QDBusConnection::ExportAllSignals) &&
               connection_.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }

    QList<Shown> shown;
    QList<uint> closed;

public slots:
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
        vendor = QStringLiteral("Zorvane tests");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("fake");
    }
    QStringList GetCapabilities() { return capabilities_; }
    uint Notify(const QString& application, uint replaces, const QString& /*icon*/,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int /*timeout*/) {
        shown.append(Shown{application, replaces, summary, body, actions, hints});
        return replaces != 0 ? replaces : uint(shown.size() + 100);
    }
    void CloseNotification(uint id) { closed.append(id); }

signals:
    void ActionInvoked(uint id, const QString& actionKey);
    void NotificationClosed(uint id, uint reason);

private:
    QDBusConnection connection_;
    QStringList capabilities_;
};

} // namespace zorvane::testing
