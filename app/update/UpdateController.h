#pragma once

#include "AppUpdate.h"
#include "UpdateError.h"
#include "platform/Preferences.h"
#include "shared/Clock.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

class QNetworkAccessManager;
class QNetworkReply;

namespace zorvane {

// Fetches and judges the update manifest, remembers the last successful check and the last
// valid manifest in the preferences, and publishes the result for the views. Main thread only.
class UpdateController : public QObject {
    Q_OBJECT
    // Empty map when there is none; otherwise version, build (absent when none), downloadURL
    // and releaseNotes (absent when none).
    Q_PROPERTY(QVariantMap availableUpdate READ availableUpdateMap NOTIFY availableUpdateChanged)
    Q_PROPERTY(bool isChecking READ isChecking NOTIFY isCheckingChanged)
    // Empty when there is none.
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool isBannerVisible READ isBannerVisible WRITE setBannerVisible NOTIFY
                   isBannerVisibleChanged)

public:
    static constexpr double checkInterval = 86400; // seconds between automatic checks
    static constexpr const char* lastCheckKey = "updates.lastCheckedAt";
    static constexpr const char* cachedManifestKey = "updates.cachedManifest";

    struct Options {
        RunningVersion running;
        std::shared_ptr<Preferences> preferences; // required
        std::shared_ptr<const Clock> clock = Clock::system();
        // Empty: UpdateEndpoints::manifestUrl().
        QUrl manifestUrl;
        // Longest wait without any data from the server.
        std::chrono::milliseconds timeout{10'000};
        // Empty: the desktop's default handler.
        std::function<void(const QUrl&)> openUrl;
        // Empty: one of the controller's own.
        QNetworkAccessManager* network = nullptr;
    };

    explicit UpdateController(Options options, QObject* parent = nullptr);
    ~UpdateController() override;

    const std::optional<AppUpdate>& availableUpdate() const { return availableUpdate_; }
    QVariantMap availableUpdateMap() const;
    bool isChecking() const { return isChecking_; }
    const QString& message() const { return message_; }
    bool isBannerVisible() const { return isBannerVisible_; }
    const QUrl& manifestUrl() const { return manifestUrl_; }

    // Hides the banner until the next successful check ("Remind me next time").
    void setBannerVisible(bool visible);

    // Starts a check unless one runs already or, without force, the last successful check is
    // less than a day old. True when a check was started; checkFinished follows.
    bool checkForUpdates(bool force, bool announce);

    // Opens the available update's download address in the default browser.
    Q_INVOKABLE void openDownload();

signals:
    void availableUpdateChanged();
    void isCheckingChanged();
    void messageChanged();
    void isBannerVisibleChanged();
    void checkFinished(bool succeeded);

private:
    struct Fetched {
        AppUpdate update;
        QByteArray body;
    };

    void fetch(bool announce);
    void finishFetch(QNetworkReply* reply, const QByteArray& body, bool tooLarge, bool announce);
    void finishCheck(const std::variant<Fetched, UpdateError>& result, bool announce);
    void apply(const AppUpdate& update, bool announce);
    void setAvailableUpdate(std::optional<AppUpdate> update);
    void setChecking(bool checking);
    void setMessage(const QString& message);

    const RunningVersion running_;
    const std::shared_ptr<Preferences> preferences_;
    const std::shared_ptr<const Clock> clock_;
    const QUrl manifestUrl_;
    const std::chrono::milliseconds timeout_;
    const std::function<void(const QUrl&)> openUrl_;
    QNetworkAccessManager* network_;
    QPointer<QNetworkReply> reply_;

    std::optional<AppUpdate> availableUpdate_;
    bool isChecking_ = false;
    QString message_;
    bool isBannerVisible_ = false;
};

} // namespace zorvane
