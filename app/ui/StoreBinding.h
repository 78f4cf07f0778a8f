#pragma once

#include "app/store/AppBlockStore.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <functional>
#include <utility>

namespace zorvane {

// Points a view helper at another store, dropping every connection the old store had to the
// receiver. False when it is the same store and nothing is to be done.
inline bool rebindStore(QPointer<AppBlockStore>& current, AppBlockStore* store, QObject& receiver) {
    if (current == store) {
        return false;
    }
    if (current) {
        current->disconnect(&receiver);
    }
    current = store;
    return true;
}

// A store publishes several changes for one user action; the lists built from it are rebuilt
// once, when the event loop comes round. A refresh run directly in between makes the pending
// one a no-op. The pending call is dropped with the owner, which must own this object too.
class CoalescedRefresh {
public:
    CoalescedRefresh(QObject& owner, std::function<void()> refresh)
        : owner_(owner), refresh_(std::move(refresh)) {}

    void schedule() {
        if (pending_) {
            return;
        }
        pending_ = true;
        QMetaObject::invokeMethod(
            &owner_,
            [this] {
                if (pending_) {
                    refresh_();
                }
            },
            Qt::QueuedConnection);
    }
    // Every refresh calls this first, whoever started it.
    void clear() { pending_ = false; }

private:
    QObject& owner_;
    std::function<void()> refresh_;
    bool pending_ = false;
};

} // namespace zorvane
