#pragma once

#include "AppUpdate.h"
#include "platform/Preferences.h"
#include "platform/UserNotificationCenter.h"

#include <QObject>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

namespace zorvane {

// Turns an available update into one system notification with a "Download Update" action, at
// most once per version key, and opens the download when the user responds. Main thread only.
class UpdateNotificationController : public QObject {
    Q_OBJECT

public:
    static constexpr const char* updateCategoryIdentifier = "ZORVANE_UPDATE";
    static constexpr const char* downloadActionIdentifier = "DOWNLOAD_UPDATE";
    static constexpr const char* downloadActionTitle = "Download Update";
    static constexpr const char* updateIdentifier = "zorvane-update-available";
    static constexpr const char* lastUpdateVersionKey = "updates.lastNotifiedVersion";
    static constexpr const char* downloadUrlInfoKey = "downloadURL";

    struct Options {
        std::shared_ptr<UserNotificationCenter> center; // required
        std::shared_ptr<Preferences> preferences;       // required
        double triggerDelaySeconds = 5;
        // Empty: the desktop's default handler.
        std::function<void(const QUrl&)> openUrl;
        // Brings the application forward when the user responds; empty: nothing.
        std::function<void()> activateApplication;
    };

    explicit UpdateNotificationController(Options options, QObject* parent = nullptr);
    ~UpdateNotificationController() override;

    // Becomes the centre's response handler and registers the update category.
    void configure();

    // Posts the notification for this update unless its version key was notified already;
    // with no update, withdraws the notification. notifyFinished(posted) follows, also when
    // nothing was posted.
    void notifyUpdate(const std::optional<AppUpdate>& update);

    void handleResponse(const NotificationResponse& response);

signals:
    void notifyFinished(bool posted);

private:
    void post(const AppUpdate& update, const std::string& versionKey);

    const std::shared_ptr<UserNotificationCenter> center_;
    const std::shared_ptr<Preferences> preferences_;
    const double triggerDelaySeconds_;
    const std::function<void(const QUrl&)> openUrl_;
    const std::function<void()> activateApplication_;
};

} // namespace zorvane
