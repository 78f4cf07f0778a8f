#include "app/ui/RecentActivityModel.h"

#include "app/ui/ApplicationIconCache.h"
#include "app/ui/StoreQueries.h"

#include <QDateTime>
#include <QTimeZone>
#include <array>
#include <cmath>

namespace zorvane {
namespace {

constexpr std::array roleKeys{
    std::pair{RecentActivityModel::EventIdRole, "eventId"},
    std::pair{RecentActivityModel::ProcessNameRole, "processName"},
    std::pair{RecentActivityModel::DestinationRole, "destination"},
    std::pair{RecentActivityModel::BlockedConnectionCountRole, "blockedConnectionCount"},
    std::pair{RecentActivityModel::LastSeenAtRole, "lastSeenAt"},
    std::pair{RecentActivityModel::HasApplicationRole, "hasApplication"},
    std::pair{RecentActivityModel::ApplicationIdRole, "applicationId"},
    std::pair{RecentActivityModel::ApplicationNameRole, "applicationName"},
    std::pair{RecentActivityModel::IconSourceRole, "iconSource"},
    std::pair{RecentActivityModel::IsLastRole, "isLast"},
};

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

} // namespace

RecentActivityModel::RecentActivityModel(QObject* parent) : QAbstractListModel(parent) {
    connect(&ApplicationIconCache::shared(), &ApplicationIconCache::iconsAdded, this,
            [this] { pendingRefresh_.schedule(); });
}

void RecentActivityModel::setStore(AppBlockStore* store) {
    if (!rebindStore(store_, store, *this)) {
        return;
    }
    if (store_) {
        for (auto signal :
             {&AppBlockStore::applicationsChanged, &AppBlockStore::activityEventsChanged}) {
            connect(store_, signal, this, [this] { pendingRefresh_.schedule(); });
        }
    }
    refresh();
    emit storeChanged();
}

void RecentActivityModel::refresh() {
    pendingRefresh_.clear();
    std::vector<QVariantMap> rows;
    if (store_) {
        const auto queries = StoreQueries::of(*store_).queries();
        auto& icons = ApplicationIconCache::shared();
        const auto recent = queries->recentAttempts();
        rows.reserve(recent.size());
        for (const auto& event : recent) {
            QVariantMap row;
            row[QStringLiteral("eventId")] = text(event.id());
            row[QStringLiteral("processName")] = text(event.processDisplayName());
            row[QStringLiteral("destination")] = text(event.destinationDescription());
            row[QStringLiteral("blockedConnectionCount")] =
                QVariant::fromValue<qint64>(event.blockedConnectionCount);
            row[QStringLiteral("lastSeenAt")] = QDateTime::fromMSecsSinceEpoch(
                static_cast<qint64>(std::llround(event.lastSeenAt.unixSeconds() * 1000.0)),
                Qt::UTC);
            const auto owner = queries->owningApplication(event);
            row[QStringLiteral("hasApplication")] = owner.has_value();
            row[QStringLiteral("applicationId")] = owner ? text(owner->id.string()) : QString();
            row[QStringLiteral("applicationName")] = owner ? text(owner->name) : QString();
            row[QStringLiteral("iconSource")] =
                owner ? icons.sourceFor(*owner, store_->sharedWorkspace()) : QString();
            rows.push_back(std::move(row));
        }
        if (!rows.empty()) {
            const QString lastId = rows.back().value(QStringLiteral("eventId")).toString();
            for (auto& row : rows) {
                row[QStringLiteral("isLast")] =
                    row.value(QStringLiteral("eventId")).toString() == lastId;
            }
        }
    }
    const int previousCount = count();
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
    if (count() != previousCount) {
        emit countChanged();
    }
}

int RecentActivityModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant RecentActivityModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= count()) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        role = ProcessNameRole;
    }
    const QVariantMap& row = rows_[static_cast<std::size_t>(index.row())];
    for (const auto& [key, name] : roleKeys) {
        if (key == role) {
            return row.value(QLatin1String(name));
        }
    }
    return {};
}

QHash<int, QByteArray> RecentActivityModel::roleNames() const {
    QHash<int, QByteArray> names;
    for (const auto& [key, name] : roleKeys) {
        names.insert(key, name);
    }
    return names;
}

QVariantMap RecentActivityModel::get(int row) const {
    return row >= 0 && row < count() ? rows_[static_cast<std::size_t>(row)] : QVariantMap();
}

} // namespace zorvane
