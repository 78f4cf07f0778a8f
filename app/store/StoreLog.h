#pragma once

#include <QLoggingCategory>

namespace zorvane {

// What the block store logs: subsystem "dev.quillmoor.Zorvane", category "Store".
Q_DECLARE_LOGGING_CATEGORY(storeLog)

} // namespace zorvane
