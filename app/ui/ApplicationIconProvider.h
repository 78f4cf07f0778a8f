#pragma once

#include <QQuickImageProvider>
#include <QString>

class QQmlEngine;

namespace zorvane {

// Serves "image://zorvane-icon/app/<key>" (a blocked application's icon, from the shared icon
// cache) and "image://zorvane-icon/self" (Zorvane's own icon, drawn from the shield symbol so
// that it exists on every platform and at every size), and "image://zorvane-icon/placeholder".
class ApplicationIconProvider final : public QQuickImageProvider {
public:
    static constexpr const char* providerId = "zorvane-icon";
    static constexpr const char* selfSource = "image://zorvane-icon/self";
    // The "app" symbol, for an application without any icon.
    static constexpr const char* placeholderSource = "image://zorvane-icon/placeholder";

    ApplicationIconProvider();

    static QString applicationSource(const QString& key);
    // Adds the provider to the engine unless it has one already.
    static void install(QQmlEngine& engine);
    // Zorvane's own icon at an edge length.
    static QImage selfIcon(int edge);
    static QImage placeholderIcon(int edge);

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

} // namespace zorvane
