#pragma once

#include <QLoggingCategory>

namespace zorvane {

// What the block store logs: subsystem "dev.quillmoor.Zorvane", category "Store". At debug level
// (QT_LOGGING_RULES="dev.quillmoor.Zorvane.Store.debug=true") also each envelope of the filter it
// takes, so that a load run can count them.
Q_DECLARE_LOGGING_CATEGORY(storeLog)

} // namespace zorvane
