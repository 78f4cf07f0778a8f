#pragma once

#include <QObject>

class QSocketNotifier;

namespace zorvane {

// Turns SIGTERM, SIGINT and SIGHUP into an orderly quit of the event loop, so that a session
// ending or a supervisor stopping the process still runs every destructor: pending preference
// writes and queued activity merges finish instead of being cut off. One per process; the
// signals go back to their default handling when it is destroyed.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the signals could not be taken over (they keep their default handling).
    bool isActive() const { return notifier_ != nullptr; }

signals:
    // Emitted on the main thread, before the quit.
    void received(int signalNumber);

private:
    void drain();

    QSocketNotifier* notifier_ = nullptr;
};

} // namespace zorvane
