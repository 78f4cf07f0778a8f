#pragma once

#include "app/store/AppBlockStore.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>
#include <vector>

namespace zorvane {

// The blocked applications as the rows show them. Everything a row needs (grant state,
// attempt count, components, icon) is worked out once per change of the store's lists, never
// per row per frame; changes that arrive together are folded into one update. When the list
// keeps its entries, rows are updated in place, so a row's own state (an expanded component
// list) survives new activity.
class ApplicationListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(zorvane::AppBlockStore* store READ store WRITE setStore NOTIFY storeChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role {
        ApplicationIdRole = Qt::UserRole + 1,
        NameRole,
        BundleIdentifierRole,
        PathRole,
        IconSourceRole,
        // "none", "timed" or "untilQuit".
        GrantStateRole,
        IsRunningRole,
        BlockedAttemptCountRole,
        ComponentCountRole,
        // List of maps: id, name, signingIdentifier, teamIdentifier ("" without a team),
        // executablePath ("" without a path), kind ("main", "bundled", "observed"), kindText.
        ComponentsRole,
        // All of the above in one map, the application id under "id": what a row takes.
        EntryRole,
    };
    Q_ENUM(Role)

    explicit ApplicationListModel(QObject* parent = nullptr);

    AppBlockStore* store() const { return store_; }
    void setStore(AppBlockStore* store);
    int count() const { return static_cast<int>(rows_.size()); }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The entry map of a row; empty when out of range.
    Q_INVOKABLE QVariantMap get(int row) const;

    // Recomputes now; the store's signals otherwise do it after the current event.
    void refresh();
    // How many times the rows were computed, for tests of the folding.
    int refreshCount() const { return refreshCount_; }

signals:
    void storeChanged();
    void countChanged();

private:
    void scheduleRefresh();

    QPointer<AppBlockStore> store_;
    std::vector<QVariantMap> rows_;
    bool refreshScheduled_ = false;
    int refreshCount_ = 0;
};

} // namespace zorvane
