#include "app/ui/ApplicationListModel.h"

#include "app/ui/ApplicationIconCache.h"
#include "shared/ApplicationNetworkComponent.h"

#include <QCollator>
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

QVariantList componentList(const std::vector<ApplicationNetworkComponent>& components) {
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

ApplicationListModel::ApplicationListModel(QObject* parent) : QAbstractListModel(parent) {}

void ApplicationListModel::setStore(AppBlockStore* store) {
    if (store_ == store) {
        return;
    }
    if (store_) {
        store_->disconnect(this);
    }
    store_ = store;
    if (store_) {
        for (auto signal :
             {&AppBlockStore::applicationsChanged, &AppBlockStore::activityEventsChanged,
              &AppBlockStore::discoveredProcessesChanged,
              &AppBlockStore::temporaryAccessGrantsChanged}) {
            connect(store_, signal, this, &ApplicationListModel::scheduleRefresh);
        }
    }
    refresh();
    emit storeChanged();
}

void ApplicationListModel::scheduleRefresh() {
    if (refreshScheduled_) {
        return;
    }
    refreshScheduled_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (refreshScheduled_) {
                refresh();
            }
        },
        Qt::QueuedConnection);
}

void ApplicationListModel::refresh() {
    refreshScheduled_ = false;
    ++refreshCount_;
    std::vector<QVariantMap> rows;
    if (store_) {
        QCollator collator;
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        const ActivityQueries queries(
            store_->applications(), store_->activityEvents(), store_->discoveredProcesses(),
            [&collator](std::string_view lhs, std::string_view rhs) {
                return collator.compare(QString::fromUtf8(lhs.data(), qsizetype(lhs.size())),
                                        QString::fromUtf8(rhs.data(), qsizetype(rhs.size()))) < 0;
            });
        const auto running = store_->workspace().runningBundleIdentifiers();
        auto& icons = ApplicationIconCache::shared();
        rows.reserve(store_->applications().size());
        for (const auto& application : store_->applications()) {
            QVariantMap row;
            const QString id = text(application.id.string());
            row[QStringLiteral("id")] = id;
            row[QStringLiteral("applicationId")] = id;
            row[QStringLiteral("name")] = text(application.name);
            row[QStringLiteral("bundleIdentifier")] = text(application.bundleIdentifier);
            row[QStringLiteral("path")] = text(application.path);
            row[QStringLiteral("iconSource")] = icons.sourceFor(application, store_->workspace());
            QString grantState = QStringLiteral("none");
            if (auto grant = store_->activeTemporaryAccessGrant(application.id)) {
                grantState = grant->mode == TemporaryAccessGrant::Mode::untilQuit
                                 ? QStringLiteral("untilQuit")
                                 : QStringLiteral("timed");
            }
            row[QStringLiteral("grantState")] = grantState;
            row[QStringLiteral("isRunning")] =
                std::find(running.begin(), running.end(), application.bundleIdentifier) !=
                running.end();
            row[QStringLiteral("blockedAttemptCount")] =
                QVariant::fromValue<qint64>(queries.blockedAttemptCount(application));
            const QVariantList components = componentList(queries.networkComponents(application));
            row[QStringLiteral("componentCount")] = static_cast<int>(components.size());
            row[QStringLiteral("components")] = components;
            rows.push_back(std::move(row));
        }
    }

    const bool sameEntries =
        rows.size() == rows_.size() &&
        std::equal(rows.begin(), rows.end(), rows_.begin(), [](const auto& lhs, const auto& rhs) {
            return lhs.value(QStringLiteral("id")) == rhs.value(QStringLiteral("id"));
        });
    if (sameEntries) {
        for (std::size_t row = 0; row < rows.size(); ++row) {
            if (rows[row] != rows_[row]) {
                rows_[row] = std::move(rows[row]);
                const QModelIndex changed = index(static_cast<int>(row));
                emit dataChanged(changed, changed);
            }
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
    const QVariantMap& row = rows_[static_cast<std::size_t>(index.row())];
    if (role == EntryRole) {
        return row;
    }
    if (role == Qt::DisplayRole) {
        role = NameRole;
    }
    for (const auto& [key, name] : roleKeys) {
        if (key == role) {
            return row.value(QLatin1String(name));
        }
    }
    return {};
}

QHash<int, QByteArray> ApplicationListModel::roleNames() const {
    QHash<int, QByteArray> names;
    for (const auto& [key, name] : roleKeys) {
        names.insert(key, name);
    }
    return names;
}

QVariantMap ApplicationListModel::get(int row) const {
    return row >= 0 && row < count() ? rows_[static_cast<std::size_t>(row)] : QVariantMap();
}

} // namespace zorvane
