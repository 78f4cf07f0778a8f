#pragma once

#include "app/filter-control/FilterStatus.h"
#include "app/store/AppBlockStore.h"
#include "app/ui/StoreBinding.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QtQml/qqmlregistration.h>

namespace zorvane {

// What the header, the banners and the settings switch show about protection, derived from the
// user's wish and the filter's status. The switch shows the wish; the text and the dot show how
// far the filter got.
class ProtectionStatus : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(zorvane::AppBlockStore* store READ store WRITE setStore NOTIFY storeChanged)
    // "failed", "inactive", "installationRequired", "activating", "awaitingApproval", "enabled".
    Q_PROPERTY(QString kind READ kind NOTIFY changed)
    Q_PROPERTY(QString text READ text NOTIFY changed)
    // The dot's colour as a style name: "secondary", "orange", "green" or "red".
    Q_PROPERTY(QString dotTone READ dotTone NOTIFY changed)
    Q_PROPERTY(bool isRequested READ isRequested NOTIFY changed)
    Q_PROPERTY(bool isSwitchEnabled READ isSwitchEnabled NOTIFY changed)
    // Only while installation is required does tapping the disabled switch explain why.
    Q_PROPERTY(bool isInstallationRequired READ isInstallationRequired NOTIFY changed)
    Q_PROPERTY(bool isAwaitingApproval READ isAwaitingApproval NOTIFY changed)
    // Requested and the filter enabled.
    Q_PROPERTY(bool isActive READ isActive NOTIFY changed)
    // The failure text; empty unless the filter failed.
    Q_PROPERTY(QString failureMessage READ failureMessage NOTIFY changed)

public:
    explicit ProtectionStatus(QObject* parent = nullptr);

    AppBlockStore* store() const { return store_; }
    void setStore(AppBlockStore* store);

    static QString kindName(FilterStatus::Kind kind);
    static QString text(bool requested, FilterStatus::Kind kind);
    static QString dotTone(bool requested, FilterStatus::Kind kind);
    static bool isSwitchEnabled(FilterStatus::Kind kind);

    QString kind() const;
    QString text() const;
    QString dotTone() const;
    bool isRequested() const;
    bool isSwitchEnabled() const;
    bool isInstallationRequired() const;
    bool isAwaitingApproval() const;
    bool isActive() const;
    QString failureMessage() const;

signals:
    void storeChanged();
    void changed();

private:
    FilterStatus::Kind currentKind() const;

    QPointer<AppBlockStore> store_;
};

} // namespace zorvane
