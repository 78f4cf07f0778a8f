#pragma once

#include "app/store/AppBlockStore.h"
#include "tests/app-filter-control/FilterControlFakes.h"
#include "tests/app-store/StoreFakes.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/TemporaryDirectory.h"

#include <QEvent>
#include <QMimeData>
#include <QObject>
#include <QPalette>
#include <QSize>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <memory>
#include <optional>
#include <vector>

class QQuickItem;
class QQuickWindow;

namespace zorvane::testing {

// A real AppBlockStore on fakes, whose state the view tests set from QML: first the stored
// state (applications, grants, activity, an update, running applications), then start(), then
// the filter's status. The view environment (bundle, preferences, desktop actions) points at the
// same fakes, and what the views asked of the desktop is recorded.
class UiFixture : public QObject {
    Q_OBJECT
    Q_PROPERTY(zorvane::AppBlockStore* store READ store NOTIFY storeChanged)
    Q_PROPERTY(QStringList openedUrls READ openedUrls NOTIFY desktopRequested)
    Q_PROPERTY(int quitRequests READ quitRequests NOTIFY desktopRequested)

public:
    explicit UiFixture(QObject* parent = nullptr);
    ~UiFixture() override;

    AppBlockStore* store() const { return store_.get(); }
    QStringList openedUrls() const { return openedUrls_; }
    int quitRequests() const { return quitRequests_; }

    // Forgets everything: a new store (not started) on new fakes.
    Q_INVOKABLE void reset();

    // MARK: stored state, before start()
    // An application with `helpers` bundled helper identities; returns its id.
    Q_INVOKABLE QString addApplication(const QString& name, const QString& bundleIdentifier,
                                       int helpers = 0);
    // A Linux application installed in a desktop of the fixture's own: a program in a
    // directory of its own and its desktop entry, whose icon is in the desktop's icon theme as
    // `format` ("png" or "svg"), a tile in `colour`. Returns the entry's path.
    Q_INVOKABLE QString installDesktopEntry(const QString& name, const QString& format,
                                            const QString& colour);
    // What the real inspection makes of the file in that desktop (icon included) joins the
    // stored list; its "id", "signingIdentifier" and "hasIcon", or nothing when inspection
    // refused it.
    Q_INVOKABLE QVariantMap addInspected(const QString& path);
    // A blocked-activity aggregate of a process signed with the identifier (a path: an
    // unsigned Linux program, without a team, reported with its executable's path), last seen
    // `secondsAgo` before now.
    Q_INVOKABLE void addEvent(const QString& processSigningIdentifier, const QString& host,
                              const QString& port, qint64 count = 1, double secondsAgo = 60);
    Q_INVOKABLE void addObservation(const QString& signingIdentifier, double secondsAgo = 60);
    // mode: "timed" (five minutes from now) or "untilQuit".
    Q_INVOKABLE void addGrant(const QString& applicationId, const QString& mode);
    // A cached manifest of a newer version; empty notes leave them out.
    Q_INVOKABLE void setAvailableUpdate(const QString& version, const QString& releaseNotes);
    Q_INVOKABLE void setProtectionRequested(bool requested);
    Q_INVOKABLE void setHasCompletedOnboarding(bool completed);
    // Where the views believe the copy runs; the filter's status is set on its own.
    Q_INVOKABLE void setInApplicationsFolder(bool inApplications);
    Q_INVOKABLE void setRunning(const QString& bundleIdentifier, bool running);
    // The bundle's "CFBundleShortVersionString" and "CFBundleVersion"; empty: absent.
    Q_INVOKABLE void setBundleVersions(const QString& shortVersion, const QString& build);

    // MARK: inspection
    // While held, a started inspection waits (on its background thread) until released; the
    // store stays in its adding state meanwhile. Every inspection ends as "not an application".
    Q_INVOKABLE void holdInspections(bool hold);
    // The bundles the store asked to inspect, in order.
    Q_INVOKABLE QStringList inspectedPaths() const;

    // MARK: drags from the file manager, delivered to the item's window as the platform would
    // Enters and moves over the item's centre carrying the URLs; true when the drag was taken.
    Q_INVOKABLE bool dragEnter(QQuickItem* item, const QStringList& urls);
    Q_INVOKABLE void dragLeave(QQuickItem* item);
    // Enters, moves and drops on the item's centre; true when the drop was accepted.
    Q_INVOKABLE bool drop(QQuickItem* item, const QStringList& urls);

    // Builds the store and waits until it has loaded the list and the activity.
    Q_INVOKABLE bool start();

    // MARK: after start()
    // kind: "inactive", "activating", "installationRequired", "awaitingApproval", "enabled" or
    // "failed" (with the message). Drives the real filter controller through its fakes.
    Q_INVOKABLE bool setFilterStatus(const QString& kind, const QString& message = {});
    // A blocked-activity aggregate reported while the store runs; waits until the store has
    // reloaded its activity.
    Q_INVOKABLE bool reportEvent(const QString& processSigningIdentifier, const QString& host,
                                 const QString& port, qint64 count = 1);
    // What the system's filter configuration says, changed behind the store's back (as the
    // user does in the system's settings); the store sees it at its next refresh.
    Q_INVOKABLE void setSystemFilterEnabled(bool enabled);
    // Delivers everything posted to the main thread.
    Q_INVOKABLE void settle();

    // The now of the store's clock, for expected relative times.
    Q_INVOKABLE QDateTime now() const;

    // MARK: pictures
    // Writes what the window shows, popups included, at the window's device pixel ratio;
    // returns the picture's size in device pixels (empty when nothing was written).
    Q_INVOKABLE QSize saveWindowImage(QQuickWindow* window, const QString& path) const;

    // MARK: accessibility
    // What assistive technology reads of the item, through Qt's accessibility interface:
    // role, name, description, value (the value text), checkable, checked, and, when the item
    // offers a value interface, currentValue.
    Q_INVOKABLE QVariantMap accessibleReading(QQuickItem* item) const;

    // MARK: the desktop's palette
    // Gives the application the palette of a common desktop colour scheme, as the platform
    // theme would on a palette change: "fusion-light", "adwaita-light", "breeze-light",
    // "adwaita-dark", "breeze-dark"; "default" puts back the one the tests started with (and so
    // does reset()). False for an unknown name.
    Q_INVOKABLE bool usePalette(const QString& name);
    Q_INVOKABLE QStringList paletteNames() const;

signals:
    void storeChanged();
    void desktopRequested();

private:
    struct Inspections;

    void installEnvironment();
    void releaseInspections();
    bool sendDrag(QQuickItem* item, QEvent::Type type);
    void answerPendingActivation();

    std::shared_ptr<MemoryPreferences> preferences_;
    std::shared_ptr<FakeNotifications> notifications_;
    std::shared_ptr<FakeWorkspace> workspace_;
    std::shared_ptr<FakeFilterManager> manager_;
    std::shared_ptr<FakeActivator> activator_;
    std::shared_ptr<FakeMainBundle> bundle_;
    // The views' own reading of the bundle, apart from the filter controller's.
    std::shared_ptr<FakeMainBundle> viewBundle_;
    std::shared_ptr<ManualClock> clock_;
    std::unique_ptr<TemporaryDirectory> container_;
    std::unique_ptr<TemporaryDirectory> desktop_;
    std::shared_ptr<ActivityLog> log_;
    std::vector<BlockedApplication> applications_;
    std::vector<TemporaryAccessGrant> grants_;
    std::vector<NetworkActivityEvent> events_;
    std::vector<DiscoveredNetworkProcess> observations_;
    std::size_t answeredActivations_ = 0;
    std::shared_ptr<Inspections> inspections_;
    std::unique_ptr<QMimeData> dragData_;
    std::unique_ptr<AppBlockStore> store_;
    QStringList openedUrls_;
    int quitRequests_ = 0;
    std::optional<QPalette> startingPalette_;
};

} // namespace zorvane::testing
