#pragma once

#include "app/store/AppBlockStore.h"
#include "app/ui/StoreBinding.h"
#include "shared/ApplicationNetworkComponent.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>
#include <memory>
#include <optional>
#include <vector>

namespace zorvane {

// The blocked applications as the rows show them. Everything a row needs (grant state,
// attempt count, components, icon) is worked out at most once per change of the store's lists
// and only for rows that are shown, never per row per frame; changes that arrive together are
// folded into one update. When the list keeps its entries, rows are updated in place, so a
// row's own state (an expanded component list) survives new activity.
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

    // Recomputes now; the store's signals otherwise do it after the current event. When the
    // list keeps its entries, the rows are updated in place (one dataChanged over all of them).
    void refresh();
    // How many times the rows were computed, for tests of the folding.
    int refreshCount() const { return refreshCount_; }

signals:
    void storeChanged();
    void countChanged();

private:
    // One application's row. The cheap values are worked out at refresh; the counts, the
    // components, the icon and the QML maps when a delegate first asks, so rows that are never
    // drawn cost nothing more.
    struct Row {
        std::shared_ptr<const ActivityQueries> queries;
        std::size_t index = 0; // into queries->applications()
        QString id;
        QString grantState;
        bool isRunning = false;
        mutable std::optional<qint64> blockedAttemptCount;
        mutable std::optional<std::vector<ApplicationNetworkComponent>> components;
        mutable std::optional<QString> iconSource;
        mutable std::optional<QVariantList> componentList;
        mutable std::optional<QVariantMap> entry;

        const BlockedApplication& application() const { return queries->applications()[index]; }
        qint64 attempts() const;
        const std::vector<ApplicationNetworkComponent>& networkComponents() const;
        const QString& icon(const std::shared_ptr<const Workspace>& workspace) const;
        const QVariantList& componentMaps() const;
        const QVariantMap& entryMap(const std::shared_ptr<const Workspace>& workspace) const;
    };

    QPointer<AppBlockStore> store_;
    std::vector<Row> rows_;
    CoalescedRefresh pendingRefresh_{*this, [this] { refresh(); }};
    int refreshCount_ = 0;
};

} // namespace zorvane
