#include "app/agent/TrayStatusItem.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>
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
