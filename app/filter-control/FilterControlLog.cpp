#include "app/filter-control/FilterControlLog.h"

namespace zorvane {

Q_LOGGING_CATEGORY(systemExtensionLog, "dev.quillmoor.Zorvane.SystemExtension", QtInfoMsg)

} // namespace zorvane
