// The desktop's light or dark wish, from a portal on a private session bus, reaching the
// application's palette.
#include "app/ui/DesktopPalette.h"

#include "platform/linux/DesktopColorScheme.h"
#include "tests/qt-support/EventLoopPolling.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

// The settings part of the desktop portal, holding one colour scheme.
// On a connection of its own, as the portal is another process: a connection does not hear
// its own signals.
class FakePortalSettings : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    QDBusConnection connection =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("portal"));
    uint colorScheme = 0;

    // Announces a new scheme as the portal does when the user switches.
    void change(uint scheme) {
        colorScheme = scheme;
        QDBusMessage signal =
            QDBusMessage::createSignal(QString::fromLatin1(DesktopColorScheme::portalPath),
                                       QString::fromLatin1(DesktopColorScheme::settingsInterface),
                                       QStringLiteral("SettingChanged"));
        signal << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
               << QVariant::fromValue(QDBusVariant(QVariant::fromValue(scheme)));
        connection.send(signal);
    }

public slots:
    // Answers as the portal's Read does: the value inside one variant more.
    QDBusVariant Read(const QString& group, const QString& key) {
        if (group != QLatin1String("org.freedesktop.appearance") ||
            key != QLatin1String("color-scheme")) {
            return QDBusVariant(QVariant());
        }
        return QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant::fromValue(colorScheme))));
    }
};

class DesktopPaletteTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus = QDBusConnection::sessionBus();
        ASSERT_TRUE(bus.isConnected()) << "runs on a private session bus";
        ASSERT_TRUE(bus.registerObject(QString::fromLatin1(DesktopColorScheme::portalPath), &portal,
                                       QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService(QString::fromLatin1(DesktopColorScheme::portalService)));
        light = QGuiApplication::palette();
        ASSERT_FALSE(DesktopPalette::isDark(light));
    }
    void TearDown() override {
        portal.connection.unregisterService(QString::fromLatin1(DesktopColorScheme::portalService));
        portal.connection.unregisterObject(QString::fromLatin1(DesktopColorScheme::portalPath));
        QGuiApplication::setPalette(light);
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    FakePortalSettings portal;
    QPalette light;
};

TEST_F(DesktopPaletteTest, FollowsTheDesktopBetweenDarkAndLight) {
    portal.colorScheme = 1;
    DesktopColorScheme scheme(bus);
    DesktopPalette follower(scheme);
    ASSERT_TRUE(testing::eventuallyOnEventLoop(
        [&] { return scheme.preference() == DesktopColorScheme::Preference::dark; }));
    EXPECT_TRUE(DesktopPalette::isDark(QGuiApplication::palette()));

    // The user switches to light: the palette the application had comes back.
    portal.change(2);
    ASSERT_TRUE(testing::eventuallyOnEventLoop(
        [&] { return scheme.preference() == DesktopColorScheme::Preference::light; }));
    EXPECT_EQ(QGuiApplication::palette().color(QPalette::Window), light.color(QPalette::Window));

    portal.change(1);
    ASSERT_TRUE(testing::eventuallyOnEventLoop(
        [&] { return DesktopPalette::isDark(QGuiApplication::palette()); }));
    // No preference is the desktop's default, a light one.
    portal.change(0);
    ASSERT_TRUE(testing::eventuallyOnEventLoop(
        [&] { return !DesktopPalette::isDark(QGuiApplication::palette()); }));
}

TEST_F(DesktopPaletteTest, ADarkThemeAndAMissingPortalAreLeftAlone) {
    // A desktop theme that is dark already keeps its own colours.
    QPalette themed(QColor(0x31, 0x36, 0x3b), QColor(0x31, 0x36, 0x3b));
    QGuiApplication::setPalette(themed);
    portal.colorScheme = 1;
    DesktopColorScheme scheme(bus);
    DesktopPalette follower(scheme);
    ASSERT_TRUE(testing::eventuallyOnEventLoop(
        [&] { return scheme.preference() == DesktopColorScheme::Preference::dark; }));
    EXPECT_EQ(QGuiApplication::palette().color(QPalette::Window), QColor(0x31, 0x36, 0x3b));

    // Without a portal nothing is asked of the palette.
    QGuiApplication::setPalette(light);
    DesktopColorScheme nowhere(QDBusConnection(QStringLiteral("not connected")));
    DesktopPalette idle(nowhere);
    EXPECT_EQ(nowhere.preference(), DesktopColorScheme::Preference::none);
    EXPECT_FALSE(DesktopPalette::isDark(QGuiApplication::palette()));
}

} // namespace
} // namespace zorvane

#include "DesktopPaletteTest.moc"
