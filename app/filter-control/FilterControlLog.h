#pragma once

#include <QLoggingCategory>

namespace zorvane {

// Everything the filter controller logs: subsystem "dev.quillmoor.Zorvane", category
// "SystemExtension". Lines of the default level go out as info, error lines as warnings.
Q_DECLARE_LOGGING_CATEGORY(systemExtensionLog)

} // namespace zorvane
