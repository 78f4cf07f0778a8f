#include "app/ui/ApplicationIconCache.h"

#include "app/ui/ApplicationIconProvider.h"

#include <QByteArray>
#include <QFuture>
#include <QFutureWatcher>
#include <QHashFunctions>
#include <QMutexLocker>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace zorvane {
namespace {

QImage decode(const std::vector<std::uint8_t>& bytes) {
    return QImage::fromData(QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<qsizetype>(bytes.size())));
}

// Tells contents apart within one application's entries; runs over every icon on every list
// change, so it is the fast hash, not a cryptographic one.
QString digest(QByteArrayView bytes) {
    return QString::number(qHash(bytes, 0x5a17), 16);
}

// Icon files may be large or never answer; they get threads of their own, never destroyed, so
// that one that does not end holds neither the shared pool nor the exit.
QThreadPool* iconThreads() {
    static QThreadPool* const pool = [] {
        auto* threads = new QThreadPool;
        threads->setMaxThreadCount(2);
        threads->setObjectName(QStringLiteral("dev.quillmoor.Zorvane.icons"));
        return threads;
    }();
    return pool;
}

} // namespace

ApplicationIconCache& ApplicationIconCache::shared() {
    static ApplicationIconCache cache;
    return cache;
}

QString ApplicationIconCache::sourceFor(const BlockedApplication& application,
                                        std::shared_ptr<const Workspace> workspace) {
    const QString id = QString::fromStdString(application.id.string());
    // The stored icon first; one that cannot be decoded falls back to the file's icon.
    QString storedKey;
    if (application.iconData && !application.iconData->empty()) {
        storedKey = id + QLatin1Char('-') +
                    digest(QByteArrayView(application.iconData->data(),
                                          static_cast<qsizetype>(application.iconData->size())));
        QMutexLocker lock(&mutex_);
        auto it = images_.constFind(storedKey);
        if (it == images_.constEnd()) {
            lock.unlock();
            QImage image = decode(*application.iconData);
            lock.relock();
            it = images_.insert(storedKey, image);
        }
        if (!it->isNull()) {
            return ApplicationIconProvider::applicationSource(storedKey);
        }
    }
    const QString pathKey =
        id + QLatin1String("-path-") + digest(QByteArray::fromStdString(application.path));
    {
        QMutexLocker lock(&mutex_);
        auto it = images_.constFind(pathKey);
        if (it != images_.constEnd()) {
            return it->isNull() ? QString() : ApplicationIconProvider::applicationSource(pathKey);
        }
    }
    if (reading_.contains(pathKey) || !workspace) {
        return {};
    }
    reading_.insert(pathKey);
    // A watcher owned by the cache, not QFuture::then(this, ...): an icon read that ends after
    // the cache is gone must find nothing to call (Qt 6.4 asserts on a context that went away).
    auto* watcher = new QFutureWatcher<QImage>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, pathKey] {
        watcher->deleteLater();
        const QImage image = watcher->result();
        reading_.remove(pathKey);
        {
            QMutexLocker lock(&mutex_);
            images_.insert(pathKey, image);
        }
        if (!image.isNull()) {
            emit iconsAdded();
        }
    });
    watcher->setFuture(QtConcurrent::run(
        iconThreads(), [workspace = std::move(workspace), path = application.path] {
            QImage image;
            if (auto png = workspace->iconForFile(path)) {
                image = decode(*png);
            }
            return image;
        }));
    return {};
}

QImage ApplicationIconCache::image(const QString& key) const {
    QMutexLocker lock(&mutex_);
    return images_.value(key);
}

std::size_t ApplicationIconCache::size() const {
    QMutexLocker lock(&mutex_);
    return static_cast<std::size_t>(images_.size());
}

} // namespace zorvane
