#include "DBusStateRegistration.h"

namespace zorvane {

DBusStateRegistration::DBusStateRegistration(QDBusConnection connection,
                                             DBusStateNotifications::SignalAddress address,
                                             std::function<void()> handler)
    : connection_(std::move(connection)), address_(std::move(address)),
      handler_(std::move(handler)) {
    // Any sender: the posting process has no well-known name on the bus.
    connected_ = connection_.connect(QString(), address_.path, address_.interface, address_.member,
                                     this, SLOT(deliver()));
}

DBusStateRegistration::~DBusStateRegistration() {
    if (connected_) {
        connection_.disconnect(QString(), address_.path, address_.interface, address_.member, this,
                               SLOT(deliver()));
    }
}

void DBusStateRegistration::deliver() {
    if (handler_) {
        handler_();
    }
}

} // namespace zorvane
