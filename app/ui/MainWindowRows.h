#pragma once

#include "app/ui/ApplicationListModel.h"
#include "app/ui/RecentActivityModel.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

namespace zorvane {

// The rows of the main window's scroll area in one list, so that a single virtualised view
// makes only the rows on screen: the recent activity rows, the "Blocked apps" title, then the
// application rows. Each source's changes move only its own range, so an activity refresh
// leaves the application rows (and their expanded state) alone.
class MainWindowRows : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(zorvane::RecentActivityModel* activity READ activity WRITE setActivity NOTIFY
                   activityChanged)
    Q_PROPERTY(zorvane::ApplicationListModel* applications READ applications WRITE setApplications
                   NOTIFY applicationsChanged)

public:
    enum Role {
        // "activity", "applicationsTitle" or "application".
        KindRole = Qt::UserRole + 1,
        // The row within its source.
        SourceRowRole,
        // The source row's data as a map (RecentActivityModel::get, ApplicationListModel's
        // "entry"); empty for the title.
        EntryRole,
        IsFirstOfKindRole,
        IsLastOfKindRole,
    };
    Q_ENUM(Role)

    explicit MainWindowRows(QObject* parent = nullptr);

    RecentActivityModel* activity() const { return activity_; }
    void setActivity(RecentActivityModel* activity);
    ApplicationListModel* applications() const { return applications_; }
    void setApplications(ApplicationListModel* applications);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void activityChanged();
    void applicationsChanged();

private:
    int applicationsStart() const { return activityCount_ + 1; }
    // Replaces the range a source occupies with what it holds now.
    void resyncActivity();
    void resyncApplications();

    QPointer<RecentActivityModel> activity_;
    QPointer<ApplicationListModel> applications_;
    int activityCount_ = 0;
    int applicationCount_ = 0;
};

} // namespace zorvane
