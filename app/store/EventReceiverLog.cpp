#include "app/store/EventReceiverLog.h"

namespace zorvane {

Q_LOGGING_CATEGORY(eventReceiverLog, "dev.quillmoor.Zorvane.EventReceiver", QtInfoMsg)

} // namespace zorvane
