#include "app/ui/ApplicationListModel.h"

#include "app/ui/ApplicationIconCache.h"
#include "app/ui/StoreQueries.h"
#include "shared/ApplicationNetworkComponent.h"

#include <QVariantList>
#include <array>

namespace zorvane {
namespace {

constexpr std::array roleKeys{
    std::pair{ApplicationListModel::ApplicationIdRole, "applicationId"},
    std::pair{ApplicationListModel::NameRole, "name"},
    std::pair{ApplicationListModel::BundleIdentifierRole, "bundleIdentifier"},
    std::pair{ApplicationListModel::PathRole, "path"},
    std::pair{ApplicationListModel::IconSourceRole, "iconSource"},
    std::pair{ApplicationListModel::GrantStateRole, "grantState"},
    std::pair{ApplicationListModel::IsRunningRole, "isRunning"},
    std::pair{ApplicationListModel::BlockedAttemptCountRole, "blockedAttemptCount"},
    std::pair{ApplicationListModel::ComponentCountRole, "componentCount"},
    std::pair{ApplicationListModel::ComponentsRole, "components"},
    std::pair{ApplicationListModel::EntryRole, "entry"},
};

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

QString kindName(ApplicationNetworkComponent::Kind kind) {
    switch (kind) {
    case ApplicationNetworkComponent::Kind::main:
        return QStringLiteral("main");
    case ApplicationNetworkComponent::Kind::bundled:
        return QStringLiteral("bundled");
    case ApplicationNetworkComponent::Kind::observed:
        return QStringLiteral("observed");
    }
    return QStringLiteral("main");
}

QVariantList componentMapsOf(const std::vector<ApplicationNetworkComponent>& components) {
    QVariantList list;
    list.reserve(static_cast<qsizetype>(components.size()));
    for (const auto& component : components) {
        QVariantMap map;
        map[QStringLiteral("id")] = text(component.id);
        map[QStringLiteral("name")] = text(component.name);
        map[QStringLiteral("signingIdentifier")] = text(component.signingIdentifier);
        map[QStringLiteral("teamIdentifier")] = text(component.teamIdentifier.value_or(""));
        map[QStringLiteral("executablePath")] = text(component.executablePath.value_or(""));
        map[QStringLiteral("kind")] = kindName(component.kind);
        map[QStringLiteral("kindText")] =
            text(std::string(ApplicationNetworkComponent::displayText(component.kind)));
        list.push_back(map);
    }
    return list;
}

} // namespace

ApplicationListModel::ApplicationListModel(QObject* parent) : QAbstractListModel(parent) {
    connect(&ApplicationIconCache::shared(), &ApplicationIconCache::iconsAdded, this,
            [this] { pendingRefresh_.schedule(); });
}

void ApplicationListModel::setStore(AppBlockStore* store) {
    if (!rebindStore(store_, store, *this)) {
        return;
    }
    if (store_) {
        for (auto signal :
             {&AppBlockStore::applicationsChanged, &AppBlockStore::activityEventsChanged,
              &AppBlockStore::discoveredProcessesChanged,
              &AppBlockStore::temporaryAccessGrantsChanged}) {
            connect(store_, signal, this, [this] { pendingRefresh_.schedule(); });
        }
    }
    refresh();
    emit storeChanged();
}

qint64 ApplicationListModel::Row::attempts() const {
    if (!blockedAttemptCount) {
        blockedAttemptCount = queries->blockedAttemptCount(application());
    }
    return *blockedAttemptCount;
}

const std::vector<ApplicationNetworkComponent>&
ApplicationListModel::Row::networkComponents() const {
    if (!components) {
        components = queries->networkComponents(application());
    }
    return *components;
}

const QString&
ApplicationListModel::Row::icon(const std::shared_ptr<const Workspace>& workspace) const {
    if (!iconSource) {
        iconSource = ApplicationIconCache::shared().sourceFor(application(), workspace);
    }
    return *iconSource;
}

const QVariantList& ApplicationListModel::Row::componentMaps() const {
    if (!componentList) {
        componentList = componentMapsOf(networkComponents());
    }
    return *componentList;
}

const QVariantMap&
ApplicationListModel::Row::entryMap(const std::shared_ptr<const Workspace>& workspace) const {
    if (!entry) {
        const auto& app = application();
        QVariantMap map;
        map[QStringLiteral("id")] = id;
        map[QStringLiteral("applicationId")] = id;
        map[QStringLiteral("name")] = text(app.name);
        map[QStringLiteral("bundleIdentifier")] = text(app.bundleIdentifier);
        map[QStringLiteral("path")] = text(app.path);
        map[QStringLiteral("iconSource")] = icon(workspace);
        map[QStringLiteral("grantState")] = grantState;
        map[QStringLiteral("isRunning")] = isRunning;
        map[QStringLiteral("blockedAttemptCount")] = QVariant::fromValue(attempts());
        map[QStringLiteral("componentCount")] = static_cast<int>(networkComponents().size());
        map[QStringLiteral("components")] = componentMaps();
        entry = std::move(map);
    }
    return *entry;
}

void ApplicationListModel::refresh() {
    pendingRefresh_.clear();
    ++refreshCount_;
    std::vector<Row> rows;
    if (store_) {
        auto queries = StoreQueries::of(*store_).queries();
        const auto running = store_->workspace().runningBundleIdentifiers();
        const auto& applications = queries->applications();
        rows.reserve(applications.size());
        for (std::size_t index = 0; index < applications.size(); ++index) {
            const auto& application = applications[index];
            Row row;
            row.queries = queries;
            row.index = index;
            row.id = text(application.id.string());
            row.grantState = QStringLiteral("none");
            if (auto grant = store_->activeTemporaryAccessGrant(application.id)) {
                row.grantState = grant->mode == TemporaryAccessGrant::Mode::untilQuit
                                     ? QStringLiteral("untilQuit")
                                     : QStringLiteral("timed");
            }
            row.isRunning = std::find(running.begin(), running.end(),
                                      application.bundleIdentifier) != running.end();
            rows.push_back(std::move(row));
        }
    }

    const bool sameEntries =
        rows.size() == rows_.size() &&
        std::equal(rows.begin(), rows.end(), rows_.begin(),
                   [](const Row& lhs, const Row& rhs) { return lhs.id == rhs.id; });
    if (sameEntries) {
        rows_ = std::move(rows);
        if (!rows_.empty()) {
            emit dataChanged(index(0), index(count() - 1));
        }
        return;
    }
    const int previousCount = count();
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
    if (count() != previousCount) {
        emit countChanged();
    }
}

int ApplicationListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant ApplicationListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= count()) {
        return {};
    }
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case NameRole:
        return text(row.application().name);
    case ApplicationIdRole:
        return row.id;
    case BundleIdentifierRole:
        return text(row.application().bundleIdentifier);
    case PathRole:
        return text(row.application().path);
    case IconSourceRole:
        return store_ ? row.icon(store_->sharedWorkspace()) : QString();
    case GrantStateRole:
        return row.grantState;
    case IsRunningRole:
        return row.isRunning;
    case BlockedAttemptCountRole:
        return QVariant::fromValue(row.attempts());
    case ComponentCountRole:
        return static_cast<int>(row.networkComponents().size());
    case ComponentsRole:
        return row.componentMaps();
    case EntryRole:
        return store_ ? row.entryMap(store_->sharedWorkspace()) : QVariantMap();
    default:
        return {};
    }
}

QHash<int, QByteArray> ApplicationListModel::roleNames() const {
    QHash<int, QByteArray> names;
    for (const auto& [key, name] : roleKeys) {
        names.insert(key, name);
    }
    return names;
}

QVariantMap ApplicationListModel::get(int row) const {
    if (row < 0 || row >= count() || !store_) {
        return {};
    }
    return rows_[static_cast<std::size_t>(row)].entryMap(store_->sharedWorkspace());
}

} // namespace zorvane
