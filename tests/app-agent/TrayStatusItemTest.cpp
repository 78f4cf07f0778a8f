#include "app/agent/TrayStatusItem.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPalette>
#include <QSystemTrayIcon>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

std::vector<std::uint8_t> pngIcon() {
    QImage image(128, 128, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {bytes.begin(), bytes.end()};
}

StatusMenuModel sampleMenu(const Uuid& id) {
    StatusMenuItem header;
    header.title = "Protection On";
    header.symbolName = "shield.fill";
    header.isEnabled = false;

    StatusMenuItem toggle;
    toggle.title = "Protection On";
    toggle.isChecked = true;
    toggle.action = StatusMenuAction::toggleProtection;

    StatusMenuItem allow;
    allow.title = "Allow for 1 Hour";
    allow.action = StatusMenuAction::allowApplicationForOneHour;
    allow.applicationID = id;
    StatusMenuItem untilQuit = allow;
    untilQuit.title = "Allow Until App Quits";
    untilQuit.action = StatusMenuAction::allowApplicationUntilQuit;
    untilQuit.isEnabled = false;
    StatusMenuItem application;
    application.title = "Editor";
    application.iconData = pngIcon();
    application.submenu = {allow, untilQuit};

    return {header, StatusMenuItem::separator(), toggle, application};
}

TEST(TrayStatusItem, TurnsTheMenuModelIntoActionsThatReportTheirChoice) {
    TrayStatusItem item;
    std::vector<std::pair<StatusMenuAction, std::optional<Uuid>>> chosen;
    item.setActionHandler([&](StatusMenuAction action, const std::optional<Uuid>& id) {
        chosen.emplace_back(action, id);
    });
    const Uuid id = Uuid::random();
    item.setMenu(sampleMenu(id));

    const auto actions = item.menu()->actions();
    ASSERT_EQ(actions.size(), 4);
    EXPECT_EQ(actions[0]->text(), "Protection On");
    EXPECT_FALSE(actions[0]->isEnabled());
    EXPECT_FALSE(actions[0]->icon().isNull());
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_TRUE(actions[2]->isChecked());
    EXPECT_TRUE(actions[2]->isEnabled());
    QMenu* submenu = actions[3]->menu();
    ASSERT_NE(submenu, nullptr);
    EXPECT_EQ(actions[3]->text(), "Editor");
    EXPECT_FALSE(actions[3]->icon().isNull());
    ASSERT_EQ(submenu->actions().size(), 2);
    EXPECT_FALSE(submenu->actions()[1]->isEnabled());

    actions[0]->trigger(); // shows only; chooses nothing
    actions[2]->trigger();
    submenu->actions()[0]->trigger();
    ASSERT_EQ(chosen.size(), 2u);
    EXPECT_EQ(chosen[0].first, StatusMenuAction::toggleProtection);
    EXPECT_FALSE(chosen[0].second.has_value());
    EXPECT_EQ(chosen[1].first, StatusMenuAction::allowApplicationForOneHour);
    EXPECT_EQ(chosen[1].second, id);
}

TEST(TrayStatusItem, RebuildingTheMenuOnOpeningLeavesNoOldSubmenusBehind) {
    TrayStatusItem item;
    int opened = 0;
    item.setMenuAboutToOpenHandler([&] {
        ++opened;
        item.setMenu(sampleMenu(Uuid::random()));
    });
    for (int round = 0; round < 3; ++round) {
        emit item.menu()->aboutToShow();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EXPECT_EQ(opened, 3);
    EXPECT_EQ(item.menu()->actions().size(), 4);
    EXPECT_EQ(item.menu()->findChildren<QMenu*>().size(), 1);
}

TEST(TrayStatusItem, ShowsAndHidesWithoutATrayAndKeepsTheSymbolName) {
    TrayStatusItem item;
    item.show();
    item.setSymbol("pause.circle.fill");
    item.setToolTip("Zorvane: All Blocking Paused");
    item.setAccessibilityDescription("Zorvane, All Blocking Paused");
    EXPECT_EQ(item.symbolName(), "pause.circle.fill");
    EXPECT_EQ(item.trayIcon()->toolTip(), "Zorvane: All Blocking Paused");
    EXPECT_EQ(item.accessibilityDescription(), "Zorvane, All Blocking Paused");
    item.hide();
    EXPECT_FALSE(item.isVisible());

    // Each status symbol is drawn, and the states are told apart.
    const auto image = [](const char* name) {
        return TrayStatusItem::iconForSymbol(name).pixmap(32, 32).toImage();
    };
    const QImage on = image("shield.fill");
    EXPECT_FALSE(on.isNull());
    EXPECT_NE(on, image("shield.slash.fill"));
    EXPECT_NE(on, image("shield.lefthalf.filled"));
    EXPECT_NE(on, image("pause.circle.fill"));
}

// MARK: legible on any panel

double luminance(const QColor& color) {
    const auto channel = [](double value) {
        return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

double contrast(const QColor& one, const QColor& other) {
    const double a = luminance(one);
    const double b = luminance(other);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

// Of the pixels the icon covers, the share that stands out from the panel by at least `ratio`
// once the icon is laid over it.
double shareStandingOut(const QIcon& icon, const QColor& panel, double ratio) {
    const QImage image = icon.pixmap(22, 22).toImage().convertToFormat(QImage::Format_ARGB32);
    int covered = 0;
    int standing = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alphaF() < 0.5) {
                continue;
            }
            ++covered;
            const double a = pixel.alphaF();
            const QColor seen = QColor::fromRgbF(a * pixel.redF() + (1 - a) * panel.redF(),
                                                 a * pixel.greenF() + (1 - a) * panel.greenF(),
                                                 a * pixel.blueF() + (1 - a) * panel.blueF());
            standing += contrast(seen, panel) >= ratio ? 1 : 0;
        }
    }
    return covered == 0 ? 0.0 : double(standing) / covered;
}

QPalette palette(const QColor& window, const QColor& text) {
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

const QPalette lightPalette = palette(QColor("#efefef"), QColor("#1d1d1d"));
const QPalette darkPalette = palette(QColor("#2a2a2a"), QColor("#f2f2f2"));
const QColor lightPanel("#f6f5f4");
const QColor darkPanel("#1f1f1f");

TEST(TrayStatusItem, SymbolsReadOnLightAndDarkPanelsWithEitherPalette) {
    for (const char* symbol : {"shield.fill", "shield.slash.fill", "pause.circle.fill"}) {
        const QIcon light = TrayStatusItem::iconForSymbol(symbol, lightPalette);
        const QIcon dark = TrayStatusItem::iconForSymbol(symbol, darkPalette);
        // On the panel its palette describes, the symbol itself reads as text does.
        EXPECT_GE(shareStandingOut(light, lightPanel, 4.5), 0.5) << symbol;
        EXPECT_GE(shareStandingOut(dark, darkPanel, 4.5), 0.5) << symbol;
        // A panel unlike the palette (a dark top bar in a light theme) still shows its shape.
        EXPECT_GE(shareStandingOut(light, darkPanel, 3.0), 0.25) << symbol;
        EXPECT_GE(shareStandingOut(dark, lightPanel, 3.0), 0.25) << symbol;
    }
}

TEST(TrayStatusItem, TheIconFollowsTheDesktopPalette) {
    const QPalette before = QGuiApplication::palette();
    TrayStatusItem item;
    item.setSymbol("shield.fill");
    QGuiApplication::setPalette(darkPalette);
    const double onDark = shareStandingOut(item.trayIcon()->icon(), darkPanel, 4.5);
    QGuiApplication::setPalette(lightPalette);
    const double onLight = shareStandingOut(item.trayIcon()->icon(), lightPanel, 4.5);
    QGuiApplication::setPalette(before);
    EXPECT_GE(onDark, 0.5);
    EXPECT_GE(onLight, 0.5);
}

} // namespace
} // namespace zorvane

// The tray item needs a widget application; headless, on the offscreen platform.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
