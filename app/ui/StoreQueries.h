#pragma once

#include "app/store/ActivityQueries.h"

#include <QCollator>
#include <QObject>
#include <memory>

namespace zorvane {

class AppBlockStore;

// The store's per-application queries, built once per change of its lists and shared by every
// view model of that store: the lists are copied and prepared for matching once, however many
// models read them. Lives as a child of the store, on the main thread.
class StoreQueries : public QObject {
    Q_OBJECT

public:
    // The store's instance, made on first use.
    static StoreQueries& of(AppBlockStore& store);

    // Current for the store's lists as they are now.
    std::shared_ptr<const ActivityQueries> queries();
    // Forgets the queries; the next reader builds them anew.
    void invalidate() { queries_.reset(); }

private:
    explicit StoreQueries(AppBlockStore& store);

    AppBlockStore& store_;
    std::shared_ptr<const ActivityQueries> queries_;
};

} // namespace zorvane
