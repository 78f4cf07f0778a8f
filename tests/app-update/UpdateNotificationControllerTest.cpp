#include "app/update/UpdateNotificationController.h"

#include "FakeNotificationCenter.h"
#include "MemoryPreferences.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

using testing::FakeNotificationCenter;
using testing::MemoryPreferences;

constexpr const char* lastKey = UpdateNotificationController::lastUpdateVersionKey;

AppUpdate update(std::string version, std::optional<std::int64_t> build,
                 std::optional<std::string> notes = std::nullopt) {
    return AppUpdate{std::move(version), build, "https://zorvane.app/downloads/Zorvane.dmg",
                     std::move(notes)};
}

class UpdateNotificationControllerTest : public ::testing::Test {
protected:
    UpdateNotificationControllerTest() {
        UpdateNotificationController::Options options;
        options.center = center;
        options.preferences = preferences;
        options.openUrl = [this](const QUrl& url) { opened.append(url); };
        options.activateApplication = [this] { ++activations; };
        controller = std::make_unique<UpdateNotificationController>(std::move(options));
        controller->configure();
    }

    // Runs one notifyUpdate to its end and answers whether a notification was added.
    bool notify(const std::optional<AppUpdate>& value) {
        QSignalSpy finished(controller.get(), &UpdateNotificationController::notifyFinished);
        controller->notifyUpdate(value);
        EXPECT_TRUE(finished.count() == 1 || finished.wait(5000));
        return !finished.isEmpty() && finished.first().first().toBool();
    }

    std::shared_ptr<FakeNotificationCenter> center = std::make_shared<FakeNotificationCenter>();
    std::shared_ptr<MemoryPreferences> preferences = std::make_shared<MemoryPreferences>();
    std::unique_ptr<UpdateNotificationController> controller;
    QList<QUrl> opened;
    int activations = 0;
};

TEST_F(UpdateNotificationControllerTest, ConfigureRegistersTheUpdateCategoryAndItsAction) {
    ASSERT_EQ(center->categories.size(), 1u);
    const auto& category = center->categories.front();
    EXPECT_EQ(category.identifier, "ZORVANE_UPDATE");
    ASSERT_EQ(category.actions.size(), 1u);
    EXPECT_EQ(category.actions.front().identifier, "DOWNLOAD_UPDATE");
    EXPECT_EQ(category.actions.front().title, "Download Update");
    EXPECT_TRUE(category.actions.front().foreground);
    EXPECT_TRUE(static_cast<bool>(center->responseHandler));
}

TEST_F(UpdateNotificationControllerTest, EachVersionKeyIsNotifiedOnce) {
    ASSERT_TRUE(notify(update("1.4", 27, "Faster scans.")));
    ASSERT_EQ(center->added.size(), 1u);
    const auto& request = center->added.front();
    EXPECT_EQ(request.identifier, "zorvane-update-available");
    EXPECT_EQ(request.title, "Zorvane 1.4 is available");
    EXPECT_EQ(request.body, "Faster scans.");
    EXPECT_EQ(request.categoryIdentifier, "ZORVANE_UPDATE");
    EXPECT_TRUE(request.defaultSound);
    EXPECT_EQ(request.triggerDelaySeconds, 5);
    EXPECT_EQ(request.userInfo.at("downloadURL"), "https://zorvane.app/downloads/Zorvane.dmg");
    EXPECT_EQ(preferences->value(lastKey), PlistValue("1.4-27"));
    // Any pending one is withdrawn before the new request goes in.
    EXPECT_EQ(center->calls, (std::vector<std::string>{
                                 "status", "removePending:zorvane-update-available", "add"}));

    EXPECT_FALSE(notify(update("1.4", 27)));
    EXPECT_EQ(center->added.size(), 1u);

    ASSERT_TRUE(notify(update("1.4", 28)));
    ASSERT_EQ(center->added.size(), 2u);
    EXPECT_EQ(preferences->value(lastKey), PlistValue("1.4-28"));

    ASSERT_TRUE(notify(update("1.5", std::nullopt)));
    EXPECT_EQ(center->added.back().body, "A new version is ready to download.");
    EXPECT_EQ(preferences->value(lastKey), PlistValue("1.5-0"));
}

TEST_F(UpdateNotificationControllerTest, NothingIsStoredUnlessTheRequestWasAdded) {
    center->status = NotificationAuthorizationStatus::denied;
    EXPECT_FALSE(notify(update("1.4", 27)));
    EXPECT_TRUE(center->added.empty());
    EXPECT_FALSE(preferences->value(lastKey).has_value());

    center->status = NotificationAuthorizationStatus::notDetermined;
    center->grantOnRequest = false;
    EXPECT_FALSE(notify(update("1.4", 27)));
    EXPECT_EQ(center->authorizationRequests, 1);
    EXPECT_TRUE(center->added.empty());
    EXPECT_FALSE(preferences->value(lastKey).has_value());

    center->status = NotificationAuthorizationStatus::authorized;
    center->addSucceeds = false;
    EXPECT_FALSE(notify(update("1.4", 27)));
    EXPECT_FALSE(preferences->value(lastKey).has_value());

    // The next call tries again.
    center->status = NotificationAuthorizationStatus::notDetermined;
    center->grantOnRequest = true;
    center->addSucceeds = true;
    EXPECT_TRUE(notify(update("1.4", 27)));
    EXPECT_EQ(preferences->value(lastKey), PlistValue("1.4-27"));

    center->status = NotificationAuthorizationStatus::provisional;
    EXPECT_TRUE(notify(update("1.4", 29)));
}

TEST_F(UpdateNotificationControllerTest, NoUpdateWithdrawsTheNotification) {
    EXPECT_FALSE(notify(std::nullopt));
    EXPECT_EQ(center->calls,
              (std::vector<std::string>{"removePending:zorvane-update-available",
                                        "removeDelivered:zorvane-update-available"}));
    EXPECT_TRUE(center->added.empty());
}

TEST_F(UpdateNotificationControllerTest, ResponsesOpenOnlyAllowedDownloadsOfTheUpdateCategory) {
    auto respond = [this](std::string category, std::string action, std::string url) {
        center->responseHandler(NotificationResponse{"zorvane-update-available",
                                                     std::move(category),
                                                     std::move(action),
                                                     {{"downloadURL", std::move(url)}}});
    };
    respond("ZORVANE_UPDATE", "DOWNLOAD_UPDATE", "https://zorvane.app/downloads/Zorvane.dmg");
    respond("ZORVANE_UPDATE", "default", "https://www.zorvane.app/d");
    respond("ZORVANE_UPDATE", "DOWNLOAD_UPDATE", "http://zorvane.app/d");
    respond("ZORVANE_UPDATE", "DOWNLOAD_UPDATE", "https://elsewhere.example/d");
    respond("OTHER", "DOWNLOAD_UPDATE", "https://zorvane.app/d");
    center->responseHandler(
        NotificationResponse{"zorvane-update-available", "ZORVANE_UPDATE", "default", {}});
    EXPECT_EQ(opened, (QList<QUrl>{QUrl("https://zorvane.app/downloads/Zorvane.dmg"),
                                   QUrl("https://www.zorvane.app/d")}));
    EXPECT_EQ(activations, 6);
}

} // namespace
} // namespace zorvane
