#pragma once

#include <QLoggingCategory>

namespace zorvane {

// What the application's start-up and its windows log: subsystem "dev.quillmoor.Zorvane",
// category "Application".
Q_DECLARE_LOGGING_CATEGORY(applicationLog)

} // namespace zorvane
