#include "app/ui/ProtectionStatus.h"

#include "shared/PlatformWording.h"

namespace zorvane {

using Kind = FilterStatus::Kind;

ProtectionStatus::ProtectionStatus(QObject* parent) : QObject(parent) {}

void ProtectionStatus::setStore(AppBlockStore* store) {
    if (!rebindStore(store_, store, *this)) {
        return;
    }
    if (store_) {
        connect(store_, &AppBlockStore::filterStateChanged, this, &ProtectionStatus::changed);
        connect(store_, &AppBlockStore::isProtectionRequestedChanged, this,
                &ProtectionStatus::changed);
    }
    emit storeChanged();
    emit changed();
}

QString ProtectionStatus::kindName(Kind kind) {
    switch (kind) {
    case Kind::failed:
        return QStringLiteral("failed");
    case Kind::inactive:
        return QStringLiteral("inactive");
    case Kind::installationRequired:
        return QStringLiteral("installationRequired");
    case Kind::activating:
        return QStringLiteral("activating");
    case Kind::awaitingApproval:
        return QStringLiteral("awaitingApproval");
    case Kind::enabled:
        return QStringLiteral("enabled");
    }
    return QStringLiteral("inactive");
}

QString ProtectionStatus::text(bool requested, Kind kind) {
    if (!requested) {
        return QStringLiteral("Protection off");
    }
    switch (kind) {
    case Kind::inactive:
    case Kind::activating:
        return QStringLiteral("Turning on...");
    case Kind::installationRequired:
        return QString::fromUtf8(PlatformWording::text("status.installationRequired"));
    case Kind::awaitingApproval:
        return QStringLiteral("Awaiting approval");
    case Kind::enabled:
        return QStringLiteral("Protection on");
    case Kind::failed:
        return QStringLiteral("Action required");
    }
    return QStringLiteral("Protection off");
}

QString ProtectionStatus::dotTone(bool requested, Kind kind) {
    if (!requested) {
        return QStringLiteral("secondary");
    }
    switch (kind) {
    case Kind::inactive:
        return QStringLiteral("secondary");
    case Kind::installationRequired:
    case Kind::activating:
    case Kind::awaitingApproval:
        return QStringLiteral("orange");
    case Kind::enabled:
        return QStringLiteral("green");
    case Kind::failed:
        return QStringLiteral("red");
    }
    return QStringLiteral("secondary");
}

bool ProtectionStatus::isSwitchEnabled(Kind kind) {
    return kind != Kind::installationRequired && kind != Kind::activating &&
           kind != Kind::awaitingApproval;
}

Kind ProtectionStatus::currentKind() const {
    return store_ ? store_->filterStatus().kind() : Kind::inactive;
}

QString ProtectionStatus::kind() const {
    return kindName(currentKind());
}

QString ProtectionStatus::text() const {
    return text(isRequested(), currentKind());
}

QString ProtectionStatus::dotTone() const {
    return dotTone(isRequested(), currentKind());
}

bool ProtectionStatus::isRequested() const {
    return store_ && store_->isProtectionRequested();
}

bool ProtectionStatus::isSwitchEnabled() const {
    return store_ && isSwitchEnabled(currentKind());
}

bool ProtectionStatus::isInstallationRequired() const {
    return currentKind() == Kind::installationRequired;
}

bool ProtectionStatus::isAwaitingApproval() const {
    return currentKind() == Kind::awaitingApproval;
}

bool ProtectionStatus::isActive() const {
    return isRequested() && currentKind() == Kind::enabled;
}

QString ProtectionStatus::failureMessage() const {
    return store_ && currentKind() == Kind::failed ? store_->filterStatus().message() : QString();
}

} // namespace zorvane
