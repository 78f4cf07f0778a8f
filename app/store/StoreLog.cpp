#include "app/store/StoreLog.h"

namespace zorvane {

Q_LOGGING_CATEGORY(storeLog, "dev.quillmoor.Zorvane.Store", QtInfoMsg)

} // namespace zorvane
