#include "UpdateController.h"

#include "UpdateEndpoints.h"
#include "UpdateManifest.h"

#include <QDesktopServices>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace zorvane {
namespace {

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

// A manifest is usable only as a whole: it decodes, and its download address is https on one
// of our hosts.
std::optional<AppUpdate> usableManifest(std::string_view bytes) {
    auto update = UpdateManifest::decode(bytes);
    if (!update || !UpdateEndpoints::isAllowedDownloadUrl(fromStd(update->downloadURL))) {
        return std::nullopt;
    }
    return update;
}

const QString& failureMessage() {
    static const QString text = QStringLiteral(
        "Zorvane could not check for updates. Check your internet connection and try again.");
    return text;
}

} // namespace

UpdateController::UpdateController(Options options, QObject* parent)
    : QObject(parent), running_(std::move(options.running)),
      preferences_(std::move(options.preferences)),
      clock_(options.clock ? std::move(options.clock) : Clock::system()),
      manifestUrl_(options.manifestUrl.isEmpty() ? UpdateEndpoints::manifestUrl()
                                                 : options.manifestUrl),
      timeout_(options.timeout),
      openUrl_(options.openUrl ? std::move(options.openUrl)
                               : [](const QUrl& url) { QDesktopServices::openUrl(url); }),
      network_(options.network ? options.network : new QNetworkAccessManager(this)) {
    // A newer version seen in an earlier run is shown at once, before any network access. The
    // cache is checked like a download: the preferences file is no more trusted than the network.
    if (auto cached = preferences_->value(cachedManifestKey); cached && cached->data()) {
        const auto& bytes = *cached->data();
        if (auto update = usableManifest(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
            apply(*update, false);
        }
    }
}

UpdateController::~UpdateController() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
    }
}

QVariantMap UpdateController::availableUpdateMap() const {
    QVariantMap map;
    if (!availableUpdate_) {
        return map;
    }
    map.insert(QStringLiteral("version"), fromStd(availableUpdate_->version));
    if (availableUpdate_->build) {
        map.insert(QStringLiteral("build"), QVariant::fromValue<qint64>(*availableUpdate_->build));
    }
    map.insert(QStringLiteral("downloadURL"), fromStd(availableUpdate_->downloadURL));
    if (availableUpdate_->releaseNotes) {
        map.insert(QStringLiteral("releaseNotes"), fromStd(*availableUpdate_->releaseNotes));
    }
    return map;
}

void UpdateController::setBannerVisible(bool visible) {
    if (isBannerVisible_ == visible) {
        return;
    }
    isBannerVisible_ = visible;
    emit isBannerVisibleChanged();
}

bool UpdateController::checkForUpdates(bool force, bool announce) {
    if (isChecking_) {
        return false;
    }
    if (!force) {
        // The other process may have checked meanwhile.
        preferences_->synchronize();
        if (auto last = preferences_->value(lastCheckKey); last && last->date()) {
            const double elapsed = clock_->now().secondsSince(*last->date());
            // A check dated in the future (the clock was set back) must not postpone checks
            // until that date comes round, so only a recent past check counts.
            if (elapsed >= 0 && elapsed < checkInterval) {
                return false;
            }
        }
    }
    setChecking(true);
    if (announce) {
        setMessage(QString());
    }
    fetch(announce);
    return true;
}

void UpdateController::openDownload() {
    if (availableUpdate_) {
        openUrl_(QUrl(fromStd(availableUpdate_->downloadURL)));
    }
}

void UpdateController::fetch(bool announce) {
    QNetworkRequest request(manifestUrl_);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // A redirect may move the manifest on its own site, never to someone else's.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(timeout_.count()));
    request.setRawHeader("Accept", "application/json");

    QNetworkReply* reply = network_->get(request);
    reply_ = reply;
    // Shared by the handlers below; the body is collected as it arrives so that an oversized
    // one is cut off as soon as it passes the limit instead of being read to the end.
    struct Progress {
        QByteArray body;
        bool tooLarge = false;
    };
    auto progress = std::make_shared<Progress>();
    auto abortIfTooLarge = [reply, progress] {
        if (progress->tooLarge) {
            return;
        }
        progress->body += reply->readAll();
        if (progress->body.size() > qsizetype(UpdateManifest::maximumSize)) {
            progress->tooLarge = true;
            progress->body.clear();
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, progress] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > qint64(UpdateManifest::maximumSize) &&
            !progress->tooLarge) {
            progress->tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, abortIfTooLarge);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, progress, abortIfTooLarge, announce] {
                abortIfTooLarge();
                finishFetch(reply, progress->body, progress->tooLarge, announce);
            });
}

void UpdateController::finishFetch(QNetworkReply* reply, const QByteArray& body, bool tooLarge,
                                   bool announce) {
    reply->disconnect(this);
    reply->deleteLater();
    reply_.clear();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.isValid() ? status.toInt() : 0;
    if (tooLarge || reply->error() != QNetworkReply::NoError || code < 200 || code > 299) {
        finishCheck(UpdateError::invalidResponse, announce);
        return;
    }
    auto update = usableManifest(std::string_view(body.constData(), std::size_t(body.size())));
    if (!update) {
        finishCheck(UpdateError::invalidResponse, announce);
        return;
    }
    finishCheck(Fetched{std::move(*update), body}, announce);
}

void UpdateController::finishCheck(const std::variant<Fetched, UpdateError>& result,
                                   bool announce) {
    const auto* fetched = std::get_if<Fetched>(&result);
    if (!fetched) {
        // Nothing else changes: the known update, the banner and the stored dates stay, so the
        // next opportunity tries again.
        if (announce) {
            setMessage(failureMessage());
        }
        setChecking(false);
        emit checkFinished(false);
        return;
    }
    preferences_->setValue(lastCheckKey, PlistValue(clock_->now()));
    preferences_->setValue(cachedManifestKey,
                           PlistValue(PlistData(fetched->body.begin(), fetched->body.end())));
    preferences_->synchronize();
    apply(fetched->update, announce);
    setChecking(false);
    emit checkFinished(true);
}

void UpdateController::apply(const AppUpdate& update, bool announce) {
    if (UpdateManifest::isNewer(update, running_)) {
        setAvailableUpdate(update);
        // Shown again even when the user had closed it with "Remind me next time".
        setBannerVisible(true);
        if (announce) {
            setMessage(QStringLiteral("Zorvane %1 is available.").arg(fromStd(update.version)));
        }
        return;
    }
    setAvailableUpdate(std::nullopt);
    setBannerVisible(false);
    if (announce) {
        setMessage(QStringLiteral(u"You\u2019re up to date. Zorvane %1 is the latest version.")
                       .arg(fromStd(running_.shortVersion.value_or(std::string()))));
    }
}

void UpdateController::setAvailableUpdate(std::optional<AppUpdate> update) {
    if (availableUpdate_ == update) {
        return;
    }
    availableUpdate_ = std::move(update);
    emit availableUpdateChanged();
}

void UpdateController::setChecking(bool checking) {
    if (isChecking_ == checking) {
        return;
    }
    isChecking_ = checking;
    emit isCheckingChanged();
}

void UpdateController::setMessage(const QString& message) {
    if (message_ == message) {
        return;
    }
    message_ = message;
    emit messageChanged();
}

} // namespace zorvane
