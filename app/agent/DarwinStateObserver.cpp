#include "DarwinStateObserver.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace zorvane {

DarwinStateObserver::DarwinStateObserver(StateNotifications& notifications, std::string name,
                                         std::function<void()> handler)
    : name_(std::move(name)),
      handler_(std::make_shared<std::function<void()>>(std::move(handler))) {
    std::weak_ptr<std::function<void()>> weakHandler = handler_;
    registration_ = notifications.observe(name_, [weakHandler] {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) {
            return;
        }
        // Queued even when already on the main thread, so the handler never runs inside the
        // centre's callback.
        QMetaObject::invokeMethod(
            app,
            [weakHandler] {
                if (auto strong = weakHandler.lock(); strong && *strong) {
                    (*strong)();
                }
            },
            Qt::QueuedConnection);
    });
}

DarwinStateObserver::~DarwinStateObserver() {
    registration_.reset();
    handler_.reset();
}

} // namespace zorvane
