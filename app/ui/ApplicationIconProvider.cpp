#include "app/ui/ApplicationIconProvider.h"

#include "app/ui/ApplicationIconCache.h"
#include "app/ui/SymbolTable.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QQmlEngine>

namespace zorvane {

ApplicationIconProvider::ApplicationIconProvider()
    : QQuickImageProvider(QQuickImageProvider::Image) {}

QString ApplicationIconProvider::applicationSource(const QString& key) {
    return QStringLiteral("image://%1/app/%2").arg(QLatin1String(providerId), key);
}

void ApplicationIconProvider::install(QQmlEngine& engine) {
    if (!engine.imageProvider(QLatin1String(providerId))) {
        engine.addImageProvider(QLatin1String(providerId), new ApplicationIconProvider);
    }
}

QImage ApplicationIconProvider::selfIcon(int edge) {
    edge = std::max(edge, 16);
    QImage image(edge, edge, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(0, 0, 0, edge);
    gradient.setColorAt(0, QColor(0x3d, 0x9b, 0xff));
    gradient.setColorAt(1, QColor(0x00, 0x5f, 0xd6));
    QPainterPath frame;
    // The header clips the icon to a corner radius of 11 at 46 points; the drawing matches.
    frame.addRoundedRect(QRectF(0, 0, edge, edge), edge * 11.0 / 46.0, edge * 11.0 / 46.0);
    painter.fillPath(frame, gradient);
    if (SymbolTable::isFontAvailable()) {
        painter.setPen(Qt::white);
        painter.setFont(SymbolTable::font(int(edge * 0.66)));
        painter.drawText(QRectF(0, 0, edge, edge), Qt::AlignCenter,
                         SymbolTable::glyph(QStringLiteral("shield.fill")));
    }
    return image;
}

QImage ApplicationIconProvider::placeholderIcon(int edge) {
    edge = std::max(edge, 16);
    QImage image(edge, edge, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (SymbolTable::isFontAvailable()) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QColor(128, 128, 128));
        painter.setFont(SymbolTable::font(edge));
        painter.drawText(QRectF(0, 0, edge, edge), Qt::AlignCenter,
                         SymbolTable::glyph(QStringLiteral("app")));
    }
    return image;
}

QImage ApplicationIconProvider::requestImage(const QString& id, QSize* size,
                                             const QSize& requestedSize) {
    QImage image;
    const int edge = std::max(requestedSize.width(), requestedSize.height()) > 0
                         ? std::max(requestedSize.width(), requestedSize.height())
                         : 128;
    if (id == QLatin1String("self")) {
        image = selfIcon(edge);
    } else if (id == QLatin1String("placeholder")) {
        image = placeholderIcon(edge);
    } else if (id.startsWith(QLatin1String("app/"))) {
        image = ApplicationIconCache::shared().image(id.mid(4));
        if (!image.isNull() && requestedSize.isValid() && !requestedSize.isEmpty()) {
            image = image.scaled(requestedSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
    }
    if (size) {
        *size = image.size();
    }
    return image;
}

} // namespace zorvane
