#include "app/agent/ApplicationLog.h"

namespace zorvane {

Q_LOGGING_CATEGORY(applicationLog, "dev.quillmoor.Zorvane.Application", QtInfoMsg)

} // namespace zorvane
