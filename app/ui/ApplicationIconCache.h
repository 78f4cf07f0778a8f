#pragma once

#include "platform/Workspace.h"
#include "shared/BlockedApplication.h"

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QString>

namespace zorvane {

// Decoded application icons, shared between the view models (main thread, which fill it) and
// the image provider (which the engine may call from its loader threads). An icon is decoded
// once per content: the key carries a hash of the stored PNG, or of the path whose workspace
// icon stands in for it, so a changed icon gets a new key and the views a new image address.
class ApplicationIconCache {
public:
    static ApplicationIconCache& shared();

    // The image address for the application's icon ("image://zorvane-icon/app/<key>"), its
    // image decoded first if this content was not seen yet; empty when there is no icon at all,
    // and the view then draws its placeholder.
    QString sourceFor(const BlockedApplication& application, const Workspace& workspace);

    // The image stored under a key; null when there is none.
    QImage image(const QString& key) const;

    std::size_t size() const;

private:
    mutable QMutex mutex_;
    QHash<QString, QImage> images_;
};

} // namespace zorvane
