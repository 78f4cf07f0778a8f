#include "app/ui/StoreQueries.h"

#include "app/store/AppBlockStore.h"

namespace zorvane {

StoreQueries& StoreQueries::of(AppBlockStore& store) {
    if (auto* existing = store.findChild<StoreQueries*>(QString(), Qt::FindDirectChildrenOnly)) {
        return *existing;
    }
    return *new StoreQueries(store);
}

StoreQueries::StoreQueries(AppBlockStore& store) : QObject(&store), store_(store) {
    // The models refresh after the signal's turn, by which time this has already run.
    connect(&store_, &AppBlockStore::applicationsChanged, this, &StoreQueries::invalidate);
    connect(&store_, &AppBlockStore::activityEventsChanged, this, &StoreQueries::invalidate);
    connect(&store_, &AppBlockStore::discoveredProcessesChanged, this, &StoreQueries::invalidate);
}

std::shared_ptr<const ActivityQueries> StoreQueries::queries() {
    if (!queries_) {
        // Component names sort as the user's locale sorts them, ignoring case.
        auto collator = std::make_shared<QCollator>();
        collator->setCaseSensitivity(Qt::CaseInsensitive);
        queries_ = std::make_shared<const ActivityQueries>(
            store_.applications(), store_.activityEvents(), store_.discoveredProcesses(),
            [collator](std::string_view lhs, std::string_view rhs) {
                return collator->compare(QString::fromUtf8(lhs.data(), qsizetype(lhs.size())),
                                         QString::fromUtf8(rhs.data(), qsizetype(rhs.size()))) < 0;
            });
    }
    return queries_;
}

} // namespace zorvane
