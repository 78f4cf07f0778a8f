#include "app/agent/TrayStatusItem.h"

#include "app/ui/SymbolTable.h"

#include <QAction>
#include <QCursor>
#include <QEvent>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <algorithm>

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
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->installEventFilter(this);
    }
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

bool TrayStatusItem::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() &&
        event->type() == QEvent::ApplicationPaletteChange) {
        tray_->setIcon(iconForSymbol(symbolName_.empty() ? "shield.fill" : symbolName_));
    }
    return QObject::eventFilter(watched, event);
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

QIcon TrayStatusItem::iconForSymbol(const std::string& symbolName, const QPalette& palette) {
    const QString name = QString::fromStdString(symbolName);
    const QColor ink = palette.color(QPalette::Active, QPalette::WindowText);
    const QColor ring = palette.color(QPalette::Active, QPalette::Window);
    QIcon icon;
    for (int size : {16, 22, 32, 64}) {
        const int width = std::max(1, size / 16);
        const QImage glyph = SymbolTable::image(name, size - 2 * width, ink);
        const QImage outline = SymbolTable::image(name, size - 2 * width, ring);
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        for (int dx = -width; dx <= width; ++dx) {
            for (int dy = -width; dy <= width; ++dy) {
                if (dx != 0 || dy != 0) {
                    painter.drawImage(width + dx, width + dy, outline);
                }
            }
        }
        painter.drawImage(width, width, glyph);
        painter.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

} // namespace zorvane
