#pragma once

#include "platform/UserNotificationCenter.h"

#include <QMetaObject>
#include <QObject>

namespace zorvane::testing {

// A notification centre that answers from canned values, later from the event loop as the real
// ones do, and records what it was asked.
class FakeNotificationCenter final : public UserNotificationCenter {
public:
    NotificationAuthorizationStatus status = NotificationAuthorizationStatus::authorized;
    bool grantOnRequest = true;
    bool addSucceeds = true;

    std::vector<NotificationCategory> categories;
    std::function<void(const NotificationResponse&)> responseHandler;
    std::vector<NotificationRequest> added;
    std::vector<std::string> calls; // in order: "status", "request", "add", "removePending"...
    int authorizationRequests = 0;

    void setCategories(std::vector<NotificationCategory> value) override {
        categories = std::move(value);
    }
    void setResponseHandler(std::function<void(const NotificationResponse&)> handler) override {
        responseHandler = std::move(handler);
    }
    void
    authorizationStatus(std::function<void(NotificationAuthorizationStatus)> completion) override {
        calls.push_back("status");
        later([completion, s = status] { completion(s); });
    }
    void requestAuthorization(std::function<void(bool)> completion) override {
        calls.push_back("request");
        ++authorizationRequests;
        later([completion, g = grantOnRequest] { completion(g); });
    }
    void add(NotificationRequest request, std::function<void(bool)> completion) override {
        calls.push_back("add");
        if (addSucceeds) {
            added.push_back(std::move(request));
        }
        later([completion, ok = addSucceeds] { completion(ok); });
    }
    void removePendingRequests(const std::vector<std::string>& identifiers) override {
        calls.push_back("removePending:" + identifiers.at(0));
    }
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override {
        calls.push_back("removeDelivered:" + identifiers.at(0));
    }

private:
    template <typename F> void later(F work) {
        QMetaObject::invokeMethod(&context_, std::move(work), Qt::QueuedConnection);
    }
    QObject context_;
};

} // namespace zorvane::testing
