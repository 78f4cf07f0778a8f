#include "UpdateNotificationController.h"

#include "UpdateEndpoints.h"
#include "UpdateManifest.h"

#include <QDesktopServices>
#include <QPointer>

namespace zorvane {

UpdateNotificationController::UpdateNotificationController(Options options, QObject* parent)
    : QObject(parent), center_(std::move(options.center)),
      preferences_(std::move(options.preferences)),
      triggerDelaySeconds_(options.triggerDelaySeconds),
      openUrl_(options.openUrl ? std::move(options.openUrl)
                               : [](const QUrl& url) { QDesktopServices::openUrl(url); }),
      activateApplication_(std::move(options.activateApplication)) {}

UpdateNotificationController::~UpdateNotificationController() {
    // The centre may outlive us; it must not call back into a destroyed controller.
    center_->setResponseHandler({});
}

void UpdateNotificationController::configure() {
    QPointer<UpdateNotificationController> self(this);
    center_->setResponseHandler([self](const NotificationResponse& response) {
        if (self) {
            self->handleResponse(response);
        }
    });
    center_->setCategories({NotificationCategory{
        updateCategoryIdentifier,
        {NotificationAction{downloadActionIdentifier, downloadActionTitle, true}}}});
}

void UpdateNotificationController::notifyUpdate(const std::optional<AppUpdate>& update) {
    if (!update) {
        center_->removePendingRequests({updateIdentifier});
        center_->removeDeliveredNotifications({updateIdentifier});
        emit notifyFinished(false);
        return;
    }
    const std::string versionKey = UpdateManifest::versionKey(*update);
    preferences_->synchronize(); // the other process may have notified this version already
    if (auto last = preferences_->value(lastUpdateVersionKey);
        last && last->string() && *last->string() == versionKey) {
        emit notifyFinished(false);
        return;
    }
    QPointer<UpdateNotificationController> self(this);
    center_->authorizationStatus(
        [self, update = *update, versionKey](NotificationAuthorizationStatus status) {
            if (!self) {
                return;
            }
            switch (status) {
            case NotificationAuthorizationStatus::notDetermined:
                self->center_->requestAuthorization([self, update, versionKey](bool granted) {
                    if (!self) {
                        return;
                    }
                    if (granted) {
                        self->post(update, versionKey);
                    } else {
                        emit self->notifyFinished(false);
                    }
                });
                return;
            case NotificationAuthorizationStatus::authorized:
            case NotificationAuthorizationStatus::provisional:
                self->post(update, versionKey);
                return;
            case NotificationAuthorizationStatus::denied:
                emit self->notifyFinished(false);
                return;
            }
        });
}

void UpdateNotificationController::post(const AppUpdate& update, const std::string& versionKey) {
    center_->removePendingRequests({updateIdentifier});
    NotificationRequest request;
    request.identifier = updateIdentifier;
    request.title = "Zorvane " + update.version + " is available";
    request.body = update.releaseNotes.value_or("A new version is ready to download.");
    request.defaultSound = true;
    request.categoryIdentifier = updateCategoryIdentifier;
    request.userInfo = {
        {downloadUrlInfoKey,
         QUrl(QString::fromStdString(update.downloadURL)).toString().toStdString()}};
    request.triggerDelaySeconds = triggerDelaySeconds_;
    QPointer<UpdateNotificationController> self(this);
    center_->add(std::move(request), [self, versionKey](bool added) {
        if (!self) {
            return;
        }
        // A failure is dropped and nothing is stored, so the next call tries again.
        if (added) {
            self->preferences_->setValue(lastUpdateVersionKey, PlistValue(versionKey));
            self->preferences_->synchronize();
        }
        emit self->notifyFinished(added);
    });
}

void UpdateNotificationController::handleResponse(const NotificationResponse& response) {
    if (activateApplication_) {
        activateApplication_();
    }
    if (response.categoryIdentifier != updateCategoryIdentifier) {
        return;
    }
    auto it = response.userInfo.find(downloadUrlInfoKey);
    if (it == response.userInfo.end()) {
        return;
    }
    const QString text = QString::fromStdString(it->second);
    if (UpdateEndpoints::isAllowedDownloadUrl(text)) {
        openUrl_(QUrl(text));
    }
}

} // namespace zorvane
