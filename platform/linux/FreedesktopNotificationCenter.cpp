#include "FreedesktopNotificationCenter.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>
#include <QVariantMap>
#include <algorithm>

namespace zorvane {
namespace {

// A server that does not answer within this time counts as absent.
constexpr int callTimeoutMs = 5000;

QDBusMessage methodCall(const char* method) {
    return QDBusMessage::createMethodCall(
        QString::fromLatin1(FreedesktopNotificationCenter::service),
        QString::fromLatin1(FreedesktopNotificationCenter::path),
        QString::fromLatin1(FreedesktopNotificationCenter::interface), QString::fromLatin1(method));
}

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

FreedesktopNotificationCenter::FreedesktopNotificationCenter(QString applicationName)
    : FreedesktopNotificationCenter(QDBusConnection::sessionBus(), std::move(applicationName)) {}

FreedesktopNotificationCenter::FreedesktopNotificationCenter(QDBusConnection connection,
                                                             QString applicationName)
    : connection_(std::move(connection)), applicationName_(std::move(applicationName)) {
    if (connection_.isConnected()) {
        const QString serviceName = QString::fromLatin1(service);
        const QString pathName = QString::fromLatin1(path);
        const QString interfaceName = QString::fromLatin1(interface);
        connection_.connect(serviceName, pathName, interfaceName, QStringLiteral("ActionInvoked"),
                            this, SLOT(onActionInvoked(uint, QString)));
        connection_.connect(serviceName, pathName, interfaceName,
                            QStringLiteral("NotificationClosed"), this,
                            SLOT(onNotificationClosed(uint, uint)));
    }
}

FreedesktopNotificationCenter::~FreedesktopNotificationCenter() {
    // Requests that never reached the server are reported as not added.
    auto pending = std::move(pending_);
    for (auto& [identifier, entry] : pending) {
        if (entry.completion) {
            entry.completion(false);
        }
    }
}

void FreedesktopNotificationCenter::setCategories(std::vector<NotificationCategory> categories) {
    categories_ = std::move(categories);
}

void FreedesktopNotificationCenter::setResponseHandler(
    std::function<void(const NotificationResponse&)> handler) {
    responseHandler_ = std::move(handler);
}

void FreedesktopNotificationCenter::authorizationStatus(
    std::function<void(NotificationAuthorizationStatus)> completion) {
    probe([completion = std::move(completion)](bool reachable) {
        completion(reachable ? NotificationAuthorizationStatus::authorized
                             : NotificationAuthorizationStatus::denied);
    });
}

void FreedesktopNotificationCenter::requestAuthorization(
    std::function<void(bool granted)> completion) {
    probe(std::move(completion));
}

void FreedesktopNotificationCenter::probe(std::function<void(bool reachable)> completion) {
    if (!connection_.isConnected()) {
        completion(false);
        return;
    }
    auto* info = new QDBusPendingCallWatcher(
        connection_.asyncCall(methodCall("GetServerInformation"), callTimeoutMs), this);
    connect(info, &QDBusPendingCallWatcher::finished, this,
            [this, completion = std::move(completion)](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                if (call->isError()) {
                    completion(false);
                    return;
                }
                auto* capabilities = new QDBusPendingCallWatcher(
                    connection_.asyncCall(methodCall("GetCapabilities"), callTimeoutMs), this);
                connect(capabilities, &QDBusPendingCallWatcher::finished, this,
                        [this, completion](QDBusPendingCallWatcher* reply) {
                            reply->deleteLater();
                            QDBusPendingReply<QStringList> list = *reply;
                            if (list.isError()) {
                                completion(false);
                                return;
                            }
                            serverUsesMarkup_ =
                                list.value().contains(QStringLiteral("body-markup"));
                            completion(true);
                        });
            });
}

void FreedesktopNotificationCenter::add(NotificationRequest request,
                                        std::function<void(bool added)> completion) {
    const std::string identifier = request.identifier;
    removePendingRequests({identifier});
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    timer->setInterval(static_cast<int>(std::max(0.0, request.triggerDelaySeconds) * 1000));
    connect(timer.get(), &QTimer::timeout, this, [this, identifier] { deliver(identifier); });
    QTimer* started = timer.get();
    pending_.insert_or_assign(identifier,
                              Pending{std::move(request), std::move(completion), std::move(timer)});
    started->start();
}

void FreedesktopNotificationCenter::deliver(const std::string& identifier) {
    auto it = pending_.find(identifier);
    if (it == pending_.end()) {
        return;
    }
    NotificationRequest request = std::move(it->second.request);
    auto completion = std::move(it->second.completion);
    pending_.erase(it);
    if (!connection_.isConnected()) {
        completion(false);
        return;
    }

    QStringList actions{QString::fromLatin1(defaultActionIdentifier), QStringLiteral("Open")};
    for (const auto& category : categories_) {
        if (category.identifier == request.categoryIdentifier) {
            for (const auto& action : category.actions) {
                actions << fromStd(action.identifier) << fromStd(action.title);
            }
        }
    }
    QVariantMap hints;
    if (!request.defaultSound) {
        hints.insert(QStringLiteral("suppress-sound"), true);
    }
    // A later request with the same identifier replaces the notification on screen.
    uint replaces = 0;
    for (const auto& [id, shown] : delivered_) {
        if (shown.identifier == identifier) {
            replaces = id;
        }
    }
    const QString body =
        serverUsesMarkup_ ? fromStd(request.body).toHtmlEscaped() : fromStd(request.body);
    QDBusMessage call = methodCall("Notify");
    call << applicationName_ << replaces << QString() << fromStd(request.title) << body << actions
         << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, request = std::move(request), completion = std::move(completion),
             replaces](QDBusPendingCallWatcher* reply) mutable {
                reply->deleteLater();
                QDBusPendingReply<uint> id = *reply;
                if (id.isError()) {
                    completion(false);
                    return;
                }
                delivered_.erase(replaces);
                delivered_.insert_or_assign(id.value(), std::move(request));
                completion(true);
            });
}

void FreedesktopNotificationCenter::removePendingRequests(
    const std::vector<std::string>& identifiers) {
    for (const auto& identifier : identifiers) {
        auto node = pending_.extract(identifier);
        if (!node.empty() && node.mapped().completion) {
            node.mapped().completion(false);
        }
    }
}

void FreedesktopNotificationCenter::removeDeliveredNotifications(
    const std::vector<std::string>& identifiers) {
    for (auto it = delivered_.begin(); it != delivered_.end();) {
        if (std::find(identifiers.begin(), identifiers.end(), it->second.identifier) ==
            identifiers.end()) {
            ++it;
            continue;
        }
        if (connection_.isConnected()) {
            QDBusMessage call = methodCall("CloseNotification");
            call << it->first;
            connection_.call(call, QDBus::NoBlock);
        }
        it = delivered_.erase(it);
    }
}

void FreedesktopNotificationCenter::onActionInvoked(uint id, const QString& actionKey) {
    auto it = delivered_.find(id);
    if (it == delivered_.end() || !responseHandler_) {
        return;
    }
    NotificationResponse response{it->second.identifier, it->second.categoryIdentifier,
                                  actionKey.toStdString(), it->second.userInfo};
    // The handler may change what is delivered; it gets its own copy of everything.
    auto handler = responseHandler_;
    handler(response);
}

void FreedesktopNotificationCenter::onNotificationClosed(uint id, uint /*reason*/) {
    delivered_.erase(id);
}

} // namespace zorvane
