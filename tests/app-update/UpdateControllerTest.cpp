#include "app/update/UpdateController.h"

#include "LocalHttpServer.h"
#include "MemoryPreferences.h"
#include "app/update/UpdateEndpoints.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

using testing::LocalHttpServer;
using testing::MemoryPreferences;

const QString failure = QStringLiteral(
    "Zorvane could not check for updates. Check your internet connection and try again.");
constexpr int waitMs = 10'000;

QByteArray manifest(const char* version, std::optional<int> build,
                    const char* url = "https://zorvane.app/downloads/Zorvane.dmg") {
    QByteArray json = QByteArray("{\"version\":\"") + version + "\",";
    if (build) {
        json += "\"build\":" + QByteArray::number(*build) + ",";
    }
    json += QByteArray("\"downloadURL\":\"") + url + "\",\"releaseNotes\":\"Notes.\"}";
    return json;
}

class UpdateControllerTest : public ::testing::Test {
protected:
    // Talks to the local server directly whatever proxy the environment names. Controllers
    // share it and may go away with a request still open, as the destructor must cope with.
    UpdateControllerTest() { network.setProxy(QNetworkProxy::NoProxy); }

    std::unique_ptr<UpdateController>
    makeController(RunningVersion running = {"1.4", "27"},
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(10'000)) {
        UpdateController::Options options;
        options.running = std::move(running);
        options.preferences = preferences;
        options.clock = clock;
        options.manifestUrl = server.url(QStringLiteral("/updates/latest.json"));
        options.timeout = timeout;
        options.openUrl = [this](const QUrl& url) { opened.append(url); };
        options.network = &network;
        return std::make_unique<UpdateController>(std::move(options));
    }

    void serve(const QByteArray& body, int status = 200) {
        server.setResponse("/updates/latest.json", LocalHttpServer::Response{status, body});
    }

    // Runs one check to its end; false when none started.
    static bool check(UpdateController& controller, bool force, bool announce,
                      bool* succeeded = nullptr) {
        QSignalSpy finished(&controller, &UpdateController::checkFinished);
        if (!controller.checkForUpdates(force, announce)) {
            return false;
        }
        EXPECT_TRUE(finished.count() == 1 || finished.wait(waitMs));
        if (succeeded && !finished.isEmpty()) {
            *succeeded = finished.first().first().toBool();
        }
        return true;
    }

    std::shared_ptr<MemoryPreferences> preferences = std::make_shared<MemoryPreferences>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    LocalHttpServer server;
    QNetworkAccessManager network;
    QList<QUrl> opened;
};

TEST_F(UpdateControllerTest, AnnouncedChecksJudgeTheManifestAgainstTheRunningVersion) {
    struct Case {
        RunningVersion running;
        QByteArray body;
        bool newer;
        QString message;
    };
    const Case cases[] = {
        {{"1.9", "10"},
         manifest("1.10", std::nullopt),
         true,
         QStringLiteral("Zorvane 1.10 is available.")},
        {{"1.4", "27"},
         manifest("1.4", 27),
         false,
         QStringLiteral(u"You\u2019re up to date. Zorvane 1.4 is the latest version.")},
        {{"1.4", "27"}, manifest("1.4", 28), true, QStringLiteral("Zorvane 1.4 is available.")},
        {{"1.4", "27"},
         manifest("1.4", std::nullopt),
         false,
         QStringLiteral(u"You\u2019re up to date. Zorvane 1.4 is the latest version.")},
        {{std::nullopt, std::nullopt},
         manifest("0", std::nullopt),
         false,
         QStringLiteral(u"You\u2019re up to date. Zorvane  is the latest version.")},
    };
    for (const auto& c : cases) {
        serve(c.body);
        auto controller = makeController(c.running);
        bool succeeded = false;
        ASSERT_TRUE(check(*controller, true, true, &succeeded));
        EXPECT_TRUE(succeeded);
        EXPECT_EQ(controller->availableUpdate().has_value(), c.newer) << c.body.constData();
        EXPECT_EQ(controller->isBannerVisible(), c.newer);
        EXPECT_EQ(controller->message(), c.message);
        EXPECT_FALSE(controller->isChecking());
    }

    // The request itself: a GET for JSON.
    const auto& request = server.requests().last();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.headers.value("accept"), "application/json");
}

TEST_F(UpdateControllerTest, ASuccessfulCheckStoresItsDateAndTheManifestForTheNextLaunch) {
    const QByteArray body = manifest("1.5", 3);
    serve(body);
    {
        auto controller = makeController();
        QSignalSpy availableChanged(controller.get(), &UpdateController::availableUpdateChanged);
        ASSERT_TRUE(check(*controller, true, false));
        EXPECT_EQ(availableChanged.count(), 1);
        EXPECT_TRUE(controller->message().isEmpty()); // unannounced checks say nothing
        ASSERT_TRUE(controller->availableUpdate().has_value());
        EXPECT_EQ(controller->availableUpdateMap().value("version").toString(), "1.5");
        EXPECT_EQ(controller->availableUpdateMap().value("build").toLongLong(), 3);
        EXPECT_EQ(preferences->value(UpdateController::lastCheckKey), PlistValue(clock->now()));
        EXPECT_EQ(preferences->value(UpdateController::cachedManifestKey),
                  PlistValue(PlistData(body.begin(), body.end())));

        controller->setBannerVisible(false);
        controller->openDownload();
        ASSERT_EQ(opened.size(), 1);
        EXPECT_EQ(opened.first(), QUrl("https://zorvane.app/downloads/Zorvane.dmg"));
    }
    // The next launch shows the update at once, without a request and without a message.
    const auto requestsBefore = server.requests().size();
    auto relaunched = makeController();
    ASSERT_TRUE(relaunched->availableUpdate().has_value());
    EXPECT_EQ(relaunched->availableUpdate()->version, "1.5");
    EXPECT_TRUE(relaunched->isBannerVisible());
    EXPECT_TRUE(relaunched->message().isEmpty());
    EXPECT_EQ(server.requests().size(), requestsBefore);
}

TEST_F(UpdateControllerTest, AnUnusableCachedManifestIsIgnored) {
    for (const QByteArray& cached :
         {QByteArray("{\"version\":"), manifest("9.0", 1, "http://zorvane.app/d")}) {
        preferences->setValue(UpdateController::cachedManifestKey,
                              PlistValue(PlistData(cached.begin(), cached.end())));
        auto controller = makeController();
        EXPECT_FALSE(controller->availableUpdate().has_value());
        EXPECT_FALSE(controller->isBannerVisible());
    }
    auto controller = makeController();
    controller->openDownload();
    EXPECT_TRUE(opened.isEmpty());
}

TEST_F(UpdateControllerTest, AutomaticChecksRunAtMostOncePerDayWhileForcedChecksAlwaysRun) {
    serve(manifest("1.4", 27));
    auto controller = makeController();
    ASSERT_TRUE(check(*controller, false, false));
    EXPECT_EQ(server.requests().size(), 1);

    clock->advance(86399);
    EXPECT_FALSE(check(*controller, false, false));
    EXPECT_EQ(server.requests().size(), 1);

    ASSERT_TRUE(check(*controller, true, false));
    ASSERT_TRUE(check(*controller, true, false));
    EXPECT_EQ(server.requests().size(), 3);

    clock->advance(86400);
    ASSERT_TRUE(check(*controller, false, false));
    EXPECT_EQ(server.requests().size(), 4);

    // A last check dated in the future (the clock was set back) does not hold checks off.
    preferences->setValue(UpdateController::lastCheckKey,
                          PlistValue(clock->now().addingSeconds(3600)));
    ASSERT_TRUE(check(*controller, false, false));
    EXPECT_EQ(server.requests().size(), 5);
}

TEST_F(UpdateControllerTest, AnAnnouncedCheckWhileOneRunsReturnsAtOnceWithoutAMessage) {
    serve(manifest("1.4", 27));
    auto controller = makeController();
    ASSERT_TRUE(check(*controller, true, true));
    const QString before = controller->message();
    ASSERT_FALSE(before.isEmpty());

    server.setResponse("/updates/latest.json",
                       LocalHttpServer::Response{200, {}, {}, LocalHttpServer::Mode::Hang});
    QSignalSpy messages(controller.get(), &UpdateController::messageChanged);
    ASSERT_TRUE(controller->checkForUpdates(true, false));
    EXPECT_TRUE(controller->isChecking());
    EXPECT_FALSE(controller->checkForUpdates(true, true));
    EXPECT_FALSE(controller->checkForUpdates(false, false));
    EXPECT_EQ(controller->message(), before);
    EXPECT_EQ(messages.count(), 0);
    EXPECT_TRUE(QTest::qWaitFor([this] { return server.requests().size() == 2; }, waitMs));
}

TEST_F(UpdateControllerTest, EveryKindOfBadResponseIsOneFailureThatChangesNoKnownUpdate) {
    const QByteArray good = manifest("1.5", 1);
    serve(good);
    ASSERT_TRUE(check(*makeController(), true, false));
    // The update is known from the cache; the short time-out only serves the silent server.
    auto controller = makeController({"1.4", "27"}, std::chrono::milliseconds(300));
    ASSERT_TRUE(controller->availableUpdate().has_value());
    const auto known = controller->availableUpdate();
    controller->setBannerVisible(false);
    const auto storedDate = preferences->value(UpdateController::lastCheckKey);
    const auto storedManifest = preferences->value(UpdateController::cachedManifestKey);
    clock->advance(100'000);

    // A valid manifest reachable only through a redirect to another host.
    server.setResponse("/elsewhere.json", LocalHttpServer::Response{200, manifest("1.6", 1)});
    const QByteArray otherHost =
        server.url(QStringLiteral("/elsewhere.json"), QStringLiteral("localhost")).toEncoded();

    QByteArray oversized = manifest("1.6", 1);
    oversized.insert(oversized.size() - 1, ",\"pad\":\"" + QByteArray(70'000, 'p') + "\"");
    struct Case {
        const char* name;
        LocalHttpServer::Response response;
    };
    const Case cases[] = {
        {"http download address",
         {200, manifest("1.6", 1, "http://zorvane.app/downloads/Zorvane.dmg")}},
        {"foreign download host", {200, manifest("1.6", 1, "https://zorvane.app.example/d")}},
        {"oversized with length", {200, oversized}},
        {"oversized without length", {200, oversized, {}, LocalHttpServer::Mode::Respond, false}},
        {"endless body", {200, {}, {}, LocalHttpServer::Mode::Stream}},
        {"wrong types",
         {200, R"({"version":1.6,"build":"1","downloadURL":"https://zorvane.app/d"})"}},
        {"truncated JSON", {200, manifest("1.6", 1).left(30)}},
        {"not found", {404, manifest("1.6", 1)}},
        {"server error", {503, manifest("1.6", 1)}},
        {"redirect to another host", {302, {}, {{"Location", otherHost}}}},
        {"silent server", {200, {}, {}, LocalHttpServer::Mode::Hang}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.setResponse("/updates/latest.json", c.response);
        bool succeeded = true;
        ASSERT_TRUE(check(*controller, false, true, &succeeded));
        EXPECT_FALSE(succeeded);
        EXPECT_EQ(controller->message(), failure);
        EXPECT_EQ(controller->availableUpdate(), known);
        EXPECT_FALSE(controller->isBannerVisible());
        EXPECT_FALSE(controller->isChecking());
        EXPECT_EQ(preferences->value(UpdateController::lastCheckKey), storedDate);
        EXPECT_EQ(preferences->value(UpdateController::cachedManifestKey), storedManifest);

        // Reported only to announced checks.
        ASSERT_TRUE(check(*controller, false, false, &succeeded));
        EXPECT_FALSE(succeeded);
        EXPECT_EQ(controller->message(), failure);
    }
    EXPECT_GE(server.streamClientsGone(), 1); // the endless body was cut off, not read on
    for (const auto& request : server.requests()) {
        EXPECT_NE(request.path, "/elsewhere.json");
    }
}

TEST_F(UpdateControllerTest, ARedirectWithinTheSameSiteIsFollowed) {
    server.setResponse("/updates/moved.json", LocalHttpServer::Response{200, manifest("1.5", 1)});
    server.setResponse("/updates/latest.json",
                       LocalHttpServer::Response{
                           301, {}, {{"Location", server.url("/updates/moved.json").toEncoded()}}});
    auto controller = makeController();
    bool succeeded = false;
    ASSERT_TRUE(check(*controller, true, true, &succeeded));
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(controller->message(), "Zorvane 1.5 is available.");
}

TEST(UpdateEndpoints, DownloadAddressesMustBeHttpsOnTheSite) {
    EXPECT_TRUE(UpdateEndpoints::isAllowedDownloadUrl("https://zorvane.app/downloads/Z.dmg"));
    EXPECT_TRUE(UpdateEndpoints::isAllowedDownloadUrl("HTTPS://WWW.Zorvane.App/d"));
    EXPECT_FALSE(UpdateEndpoints::isAllowedDownloadUrl("http://zorvane.app/d"));
    EXPECT_FALSE(UpdateEndpoints::isAllowedDownloadUrl("https://zorvane.app.example.com/d"));
    EXPECT_FALSE(UpdateEndpoints::isAllowedDownloadUrl("https://zorvane.app@example.com/d"));
    EXPECT_FALSE(UpdateEndpoints::isAllowedDownloadUrl("https://downloads.zorvane.app/d"));
    EXPECT_FALSE(UpdateEndpoints::isAllowedDownloadUrl("//zorvane.app/d"));
    EXPECT_FALSE(UpdateEndpoints::isAllowedDownloadUrl("not a url"));
}

TEST(UpdateEndpoints, TheManifestAddressCanBeOverriddenFromTheEnvironment) {
    qunsetenv(UpdateEndpoints::manifestUrlVariable);
    EXPECT_EQ(UpdateEndpoints::manifestUrl(), QUrl("https://zorvane.app/updates/latest.json"));
    qputenv(UpdateEndpoints::manifestUrlVariable, "http://127.0.0.1:8080/staging.json");
    EXPECT_EQ(UpdateEndpoints::manifestUrl(), QUrl("http://127.0.0.1:8080/staging.json"));
    qputenv(UpdateEndpoints::manifestUrlVariable, "relative/path");
    EXPECT_EQ(UpdateEndpoints::manifestUrl(), QUrl("https://zorvane.app/updates/latest.json"));
    qunsetenv(UpdateEndpoints::manifestUrlVariable);
}

} // namespace
} // namespace zorvane
