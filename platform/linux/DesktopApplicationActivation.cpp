#include "platform/linux/DesktopApplicationActivation.h"

#include <QDBusConnectionInterface>

namespace zorvane {

QString DesktopApplicationActivation::objectPath(const QString& applicationIdentifier) {
    QString path = QLatin1Char('/') + applicationIdentifier;
    path.replace(QLatin1Char('.'), QLatin1Char('/'));
    path.replace(QLatin1Char('-'), QLatin1Char('_'));
    return path;
}

DesktopApplicationActivation::DesktopApplicationActivation(const QString& applicationIdentifier,
                                                           std::function<void()> handler,
                                                           QDBusConnection connection)
    : connection_(std::move(connection)), service_(applicationIdentifier),
      path_(objectPath(applicationIdentifier)), handler_(std::move(handler)) {
    if (!connection_.isConnected() || !connection_.interface()) {
        return;
    }
    // Never queued behind another owner: the name belongs to the first window process only.
    const auto reply = connection_.interface()->registerService(
        service_, QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        return;
    }
    registered_ = connection_.registerObject(path_, this, QDBusConnection::ExportAllSlots);
    if (!registered_) {
        connection_.interface()->unregisterService(service_);
    }
}

DesktopApplicationActivation::~DesktopApplicationActivation() {
    if (registered_) {
        connection_.unregisterObject(path_);
        connection_.interface()->unregisterService(service_);
    }
}

void DesktopApplicationActivation::Activate(const QVariantMap& /*platformData*/) {
    if (handler_) {
        handler_();
    }
}

void DesktopApplicationActivation::Open(const QStringList& /*uris*/,
                                        const QVariantMap& platformData) {
    // The application opens no documents; being asked to is being asked to come forward.
    Activate(platformData);
}

void DesktopApplicationActivation::ActivateAction(const QString& /*actionName*/,
                                                  const QVariantList& /*parameter*/,
                                                  const QVariantMap& platformData) {
    Activate(platformData);
}

} // namespace zorvane
