#pragma once

#include <QLoggingCategory>

namespace zorvane {

// What the application logs about the filter's reports: subsystem "dev.quillmoor.Zorvane",
// category "EventReceiver". Debug lines, off unless asked for
// (QT_LOGGING_RULES="dev.quillmoor.Zorvane.EventReceiver.debug=true"), note each envelope the
// store takes, so that a load run can count them.
Q_DECLARE_LOGGING_CATEGORY(eventReceiverLog)

} // namespace zorvane
