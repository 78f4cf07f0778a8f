#include "app/ui/MainWindowRows.h"

namespace zorvane {
namespace {

// Any change of a source's rows beyond their data re-lists that source's range.
template <typename Slot>
void connectStructure(QAbstractItemModel& source, MainWindowRows* rows, Slot slot) {
    QObject::connect(&source, &QAbstractItemModel::modelReset, rows, slot);
    QObject::connect(&source, &QAbstractItemModel::layoutChanged, rows, slot);
    QObject::connect(&source, &QAbstractItemModel::rowsInserted, rows, slot);
    QObject::connect(&source, &QAbstractItemModel::rowsRemoved, rows, slot);
    QObject::connect(&source, &QAbstractItemModel::rowsMoved, rows, slot);
}

} // namespace

MainWindowRows::MainWindowRows(QObject* parent) : QAbstractListModel(parent) {}

void MainWindowRows::setActivity(RecentActivityModel* activity) {
    if (activity_ == activity) {
        return;
    }
    if (activity_) {
        activity_->disconnect(this);
    }
    activity_ = activity;
    if (activity_) {
        connectStructure(*activity_, this, &MainWindowRows::resyncActivity);
        connect(activity_, &QAbstractItemModel::dataChanged, this,
                [this](const QModelIndex& first, const QModelIndex& last) {
                    if (first.row() < activityCount_) {
                        emit dataChanged(index(first.row()),
                                         index(std::min(last.row(), activityCount_ - 1)));
                    }
                });
    }
    resyncActivity();
    emit activityChanged();
}

void MainWindowRows::setApplications(ApplicationListModel* applications) {
    if (applications_ == applications) {
        return;
    }
    if (applications_) {
        applications_->disconnect(this);
    }
    applications_ = applications;
    if (applications_) {
        connectStructure(*applications_, this, &MainWindowRows::resyncApplications);
        connect(applications_, &QAbstractItemModel::dataChanged, this,
                [this](const QModelIndex& first, const QModelIndex& last) {
                    if (first.row() < applicationCount_) {
                        const int start = applicationsStart();
                        emit dataChanged(
                            index(start + first.row()),
                            index(start + std::min(last.row(), applicationCount_ - 1)));
                    }
                });
    }
    resyncApplications();
    emit applicationsChanged();
}

void MainWindowRows::resyncActivity() {
    const int current = activity_ ? activity_->rowCount() : 0;
    if (activityCount_ > 0) {
        beginRemoveRows({}, 0, activityCount_ - 1);
        activityCount_ = 0;
        endRemoveRows();
    }
    if (current > 0) {
        beginInsertRows({}, 0, current - 1);
        activityCount_ = current;
        endInsertRows();
    }
}

void MainWindowRows::resyncApplications() {
    const int current = applications_ ? applications_->rowCount() : 0;
    const int start = applicationsStart();
    if (applicationCount_ > 0) {
        beginRemoveRows({}, start, start + applicationCount_ - 1);
        applicationCount_ = 0;
        endRemoveRows();
    }
    if (current > 0) {
        beginInsertRows({}, start, start + current - 1);
        applicationCount_ = current;
        endInsertRows();
    }
}

int MainWindowRows::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : activityCount_ + 1 + applicationCount_;
}

QVariant MainWindowRows::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) {
        return {};
    }
    const int row = index.row();
    if (row < activityCount_) {
        switch (role) {
        case KindRole:
            return QStringLiteral("activity");
        case SourceRowRole:
            return row;
        case EntryRole:
            return activity_ ? activity_->get(row) : QVariantMap();
        case IsFirstOfKindRole:
            return row == 0;
        case IsLastOfKindRole:
            return row == activityCount_ - 1;
        default:
            return {};
        }
    }
    if (row == activityCount_) {
        switch (role) {
        case KindRole:
            return QStringLiteral("applicationsTitle");
        case SourceRowRole:
            return 0;
        case EntryRole:
            return QVariantMap();
        case IsFirstOfKindRole:
        case IsLastOfKindRole:
            return true;
        default:
            return {};
        }
    }
    const int sourceRow = row - applicationsStart();
    switch (role) {
    case KindRole:
        return QStringLiteral("application");
    case SourceRowRole:
        return sourceRow;
    case EntryRole:
        return applications_ ? applications_->data(applications_->index(sourceRow),
                                                   ApplicationListModel::EntryRole)
                             : QVariant(QVariantMap());
    case IsFirstOfKindRole:
        return sourceRow == 0;
    case IsLastOfKindRole:
        return sourceRow == applicationCount_ - 1;
    default:
        return {};
    }
}

QHash<int, QByteArray> MainWindowRows::roleNames() const {
    return {{KindRole, "kind"},
            {SourceRowRole, "sourceRow"},
            {EntryRole, "entry"},
            {IsFirstOfKindRole, "isFirstOfKind"},
            {IsLastOfKindRole, "isLastOfKind"}};
}

} // namespace zorvane
