#pragma once

// clang-format off
// Qt first: moc fails on <compare> (pulled in by shared/Uuid.h) when no other library header
// came before it.
#include <QObject>
// clang-format on

#include "app/agent/StatusItem.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPalette>
#include <QPointer>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace zorvane {

// The status item in the desktop's system tray. Needs a QApplication. Where the desktop offers
// no tray (a headless session), showing it does nothing visible and nothing fails.
class TrayStatusItem final : public QObject, public StatusItem {
    Q_OBJECT

public:
    explicit TrayStatusItem(QObject* parent = nullptr);
    ~TrayStatusItem() override;

    void show() override;
    void hide() override;
    void setSymbol(const std::string& symbolName) override;
    void setToolTip(const std::string& text) override;
    void setAccessibilityDescription(const std::string& text) override;
    void setMenu(StatusMenuModel menu) override;
    void setMenuAboutToOpenHandler(std::function<void()> handler) override;
    void setActionHandler(ActionHandler handler) override;

    // What it shows, for those who cannot look at a tray.
    bool isVisible() const;
    const std::string& symbolName() const { return symbolName_; }
    const std::string& accessibilityDescription() const { return accessibilityDescription_; }
    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }

    // A drawn icon for a symbol name in the palette's text colour, ringed by its window colour:
    // trays do not tint their icons, and the panel behind them may be light or dark whatever
    // the palette says, so the ring keeps the symbol's shape visible on either.
    static QIcon iconForSymbol(const std::string& symbolName,
                               const QPalette& palette = QGuiApplication::palette());

protected:
    // Draws the symbol anew when the desktop's palette changes (light to dark and back).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fill(QMenu& menu, const StatusMenuModel& items);
    void menuAboutToShow();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::string symbolName_;
    std::string accessibilityDescription_;
    std::function<void()> aboutToOpen_;
    ActionHandler actionHandler_;
};

} // namespace zorvane
