#pragma once

#include "app/store/AppBlockStore.h"
#include "app/ui/StoreBinding.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>
#include <vector>

namespace zorvane {

// The recent blocked activity as the main window lists it: the events that belong to a listed
// application, latest first, at most twelve, each with its application's name and icon.
// Computed once per change of the store's lists; changes that arrive together are folded.
class RecentActivityModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(zorvane::AppBlockStore* store READ store WRITE setStore NOTIFY storeChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role {
        EventIdRole = Qt::UserRole + 1,
        ProcessNameRole,
        DestinationRole,
        BlockedConnectionCountRole,
        LastSeenAtRole,
        HasApplicationRole,
        ApplicationIdRole,
        ApplicationNameRole,
        IconSourceRole,
        // The last entry of the list, recognised by its event id.
        IsLastRole,
    };
    Q_ENUM(Role)

    explicit RecentActivityModel(QObject* parent = nullptr);

    AppBlockStore* store() const { return store_; }
    void setStore(AppBlockStore* store);
    int count() const { return static_cast<int>(rows_.size()); }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE QVariantMap get(int row) const;

    void refresh();

signals:
    void storeChanged();
    void countChanged();

private:
    QPointer<AppBlockStore> store_;
    std::vector<QVariantMap> rows_;
    CoalescedRefresh pendingRefresh_{*this, [this] { refresh(); }};
};

} // namespace zorvane
