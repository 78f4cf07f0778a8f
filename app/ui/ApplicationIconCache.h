#pragma once

#include "platform/Workspace.h"
#include "shared/BlockedApplication.h"

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <memory>

namespace zorvane {

// Decoded application icons, shared between the view models (main thread, which fill it) and
// the image provider (which the engine may call from its loader threads). An icon is decoded
// once per content: the key carries a hash of the stored PNG, or of the path whose workspace
// icon stands in for it, so a changed icon gets a new key and the views a new image address.
//
// The workspace's icon is read from the bundle, a file the bundle controls, so it is read and
// decoded on a worker thread: until it is there the address is empty (the placeholder), and
// iconsAdded() tells the views to ask again.
class ApplicationIconCache : public QObject {
    Q_OBJECT

public:
    static ApplicationIconCache& shared();

    // The image address for the application's icon ("image://zorvane-icon/app/<key>"), its
    // stored image decoded first if this content was not seen yet; empty when there is no icon
    // at all, and the view then draws its placeholder, or while the workspace's icon is still
    // being read. Main thread.
    QString sourceFor(const BlockedApplication& application,
                      std::shared_ptr<const Workspace> workspace);

    // The image stored under a key; null when there is none.
    QImage image(const QString& key) const;

    std::size_t size() const;

signals:
    // A workspace icon read on the worker has arrived.
    void iconsAdded();

private:
    mutable QMutex mutex_;
    QHash<QString, QImage> images_;
    QSet<QString> reading_; // main thread only
};

} // namespace zorvane
