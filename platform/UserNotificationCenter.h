#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zorvane {

enum class NotificationAuthorizationStatus { notDetermined, denied, authorized, provisional };

struct NotificationAction {
    std::string identifier;
    std::string title;
    bool foreground = false; // brings the application forward when chosen
};

struct NotificationCategory {
    std::string identifier;
    std::vector<NotificationAction> actions;
};

struct NotificationRequest {
    std::string identifier; // a later request with the same identifier replaces the earlier
    std::string title;
    std::string body;
    bool defaultSound = false;
    std::string categoryIdentifier;
    std::map<std::string, std::string> userInfo;
    double triggerDelaySeconds = 0; // one-time delay before the notification is shown
};

// What the user did with a delivered notification: an action of its category, or a plain
// click (actionIdentifier "default").
struct NotificationResponse {
    std::string requestIdentifier;
    std::string categoryIdentifier;
    std::string actionIdentifier;
    std::map<std::string, std::string> userInfo;
};

// The system's user-notification centre. Completions and the response handler run on the
// thread that owns the centre (the main thread), possibly before the call that takes them
// returns.
class UserNotificationCenter {
public:
    static constexpr const char* defaultActionIdentifier = "default";

    virtual ~UserNotificationCenter() = default;

    virtual void setCategories(std::vector<NotificationCategory> categories) = 0;
    // Plays the part of the centre's delegate; one handler at a time.
    virtual void setResponseHandler(std::function<void(const NotificationResponse&)> handler) = 0;

    virtual void
    authorizationStatus(std::function<void(NotificationAuthorizationStatus)> completion) = 0;
    // Asks for alerts and sounds; the completion says whether they were granted.
    virtual void requestAuthorization(std::function<void(bool granted)> completion) = 0;

    virtual void add(NotificationRequest request, std::function<void(bool added)> completion) = 0;
    virtual void removePendingRequests(const std::vector<std::string>& identifiers) = 0;
    virtual void removeDeliveredNotifications(const std::vector<std::string>& identifiers) = 0;
};

} // namespace zorvane
