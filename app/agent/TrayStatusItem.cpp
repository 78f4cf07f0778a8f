#include "app/agent/TrayStatusItem.h"

#include "app/ui/SymbolTable.h"

#include <QAction>
#include <QCursor>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace zorvane {
namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

QIcon applicationIcon(const std::vector<std::uint8_t>& data) {
    QImage image;
    if (!image.loadFromData(data.data(), static_cast<int>(data.size()))) {
        return {};
    }
    return QIcon(
        QPixmap::fromImage(image.scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

} // namespace

TrayStatusItem::TrayStatusItem(QObject* parent)
    : QObject(parent), menu_(std::make_unique<QMenu>()),
      tray_(std::make_unique<QSystemTrayIcon>()) {
    tray_->setIcon(iconForSymbol("shield.fill"));
    tray_->setContextMenu(menu_.get());
    connect(menu_.get(), &QMenu::aboutToShow, this, &TrayStatusItem::menuAboutToShow);
    // Trays where a plain click does not open the context menu get it opened here, as the
    // menu bar opens a status item's menu on a click.
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger && !menu_->isVisible()) {
                    menu_->popup(QCursor::pos());
                }
            });
}

TrayStatusItem::~TrayStatusItem() {
    tray_->hide();
    tray_->setContextMenu(nullptr);
}

void TrayStatusItem::show() {
    tray_->show();
}

void TrayStatusItem::hide() {
    tray_->hide();
}

bool TrayStatusItem::isVisible() const {
    return tray_->isVisible();
}

void TrayStatusItem::setSymbol(const std::string& symbolName) {
    if (symbolName == symbolName_) {
        return;
    }
    symbolName_ = symbolName;
    tray_->setIcon(iconForSymbol(symbolName));
}

void TrayStatusItem::setToolTip(const std::string& text) {
    tray_->setToolTip(QString::fromStdString(text));
}

void TrayStatusItem::setAccessibilityDescription(const std::string& text) {
    accessibilityDescription_ = text;
    menu_->setAccessibleName(QString::fromStdString(text));
}

void TrayStatusItem::setMenuAboutToOpenHandler(std::function<void()> handler) {
    aboutToOpen_ = std::move(handler);
}

void TrayStatusItem::setActionHandler(ActionHandler handler) {
    actionHandler_ = std::move(handler);
}

void TrayStatusItem::menuAboutToShow() {
    if (aboutToOpen_) {
        aboutToOpen_();
    }
}

void TrayStatusItem::setMenu(StatusMenuModel model) {
    // Submenus are children of the menu; clear() leaves them, so they go explicitly.
    const auto submenus = menu_->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly);
    menu_->clear();
    for (QMenu* submenu : submenus) {
        submenu->deleteLater();
    }
    fill(*menu_, model);
}

void TrayStatusItem::fill(QMenu& menu, const StatusMenuModel& items) {
    for (const auto& item : items) {
        if (item.isSeparator) {
            menu.addSeparator();
            continue;
        }
        QAction* action = nullptr;
        if (!item.submenu.empty()) {
            auto* submenu = new QMenu(text(item.title), menu_.get());
            fill(*submenu, item.submenu);
            action = menu.addMenu(submenu);
        } else {
            action = menu.addAction(text(item.title));
        }
        if (item.symbolName) {
            action->setIcon(iconForSymbol(*item.symbolName));
        } else if (item.iconData) {
            action->setIcon(applicationIcon(*item.iconData));
        }
        action->setEnabled(item.isEnabled);
        if (item.isChecked) {
            action->setCheckable(true);
            action->setChecked(true);
        }
        if (item.action) {
            const StatusMenuAction chosen = *item.action;
            const std::optional<Uuid> applicationID = item.applicationID;
            connect(action, &QAction::triggered, this, [this, chosen, applicationID] {
                if (actionHandler_) {
                    actionHandler_(chosen, applicationID);
                }
            });
        }
    }
}

QIcon TrayStatusItem::iconForSymbol(const std::string& symbolName) {
    QIcon icon;
    // Drawn in one colour, like a template image: the tray tints it or shows it as it is.
    const QString name = QString::fromStdString(symbolName);
    for (int size : {16, 22, 32, 64}) {
        icon.addPixmap(QPixmap::fromImage(SymbolTable::image(name, size, Qt::black)));
    }
    icon.setIsMask(true);
    return icon;
}

} // namespace zorvane
