#pragma once

#include "platform/UserNotificationCenter.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <map>
#include <memory>

class QTimer;

namespace zorvane {

// The user-notification centre on the desktop's notification server (org.freedesktop.
// Notifications on the session bus). There is no permission to ask for on Linux: notifications
// count as authorised when the server is reachable and answers GetServerInformation and
// GetCapabilities, and as denied otherwise. A category's actions become the notification's
// actions, together with the "default" action that a plain click invokes. Responses are known
// only to the process that posted the notification. Main thread only.
class FreedesktopNotificationCenter final : public QObject, public UserNotificationCenter {
    Q_OBJECT

public:
    static constexpr const char* service = "org.freedesktop.Notifications";
    static constexpr const char* path = "/org/freedesktop/Notifications";
    static constexpr const char* interface = "org.freedesktop.Notifications";

    explicit FreedesktopNotificationCenter(QString applicationName = QStringLiteral("Zorvane"));
    FreedesktopNotificationCenter(QDBusConnection connection, QString applicationName);
    ~FreedesktopNotificationCenter() override;

    void setCategories(std::vector<NotificationCategory> categories) override;
    void setResponseHandler(std::function<void(const NotificationResponse&)> handler) override;
    void
    authorizationStatus(std::function<void(NotificationAuthorizationStatus)> completion) override;
    void requestAuthorization(std::function<void(bool granted)> completion) override;
    void add(NotificationRequest request, std::function<void(bool added)> completion) override;
    void removePendingRequests(const std::vector<std::string>& identifiers) override;
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override;

private slots:
    void onActionInvoked(uint id, const QString& actionKey);
    void onNotificationClosed(uint id, uint reason);

private:
    struct Pending {
        NotificationRequest request;
        std::function<void(bool)> completion;
        std::unique_ptr<QTimer> timer;
    };

    void probe(std::function<void(bool reachable)> completion);
    void deliver(const std::string& identifier);

    QDBusConnection connection_;
    const QString applicationName_;
    std::vector<NotificationCategory> categories_;
    std::function<void(const NotificationResponse&)> responseHandler_;
    bool serverUsesMarkup_ = false;
    std::map<std::string, Pending> pending_;
    std::map<uint, NotificationRequest> delivered_;
};

} // namespace zorvane
