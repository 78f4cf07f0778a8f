#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>

class QQuickWindow;

namespace zorvane {

class AppBlockStore;

// A picture of the main window, and the texts it shows, for a run that has no screen to look at:
// the offscreen demo of run.sh and the tests that check what a person would read. Written once
// the main window has drawn itself, and again each time what the store shows has changed and the
// window has drawn that: the picture (PNG) to the file named, the texts one per line, top to
// bottom, into the same name with ".txt" added. Both files are replaced whole, never seen half
// written. Main thread only.
class WindowSnapshot : public QObject {
    Q_OBJECT

public:
    static constexpr const char* environmentVariable = "ZORVANE_WINDOW_SNAPSHOT";

    WindowSnapshot(AppBlockStore& store, QString picturePath, QObject* parent = nullptr);

    // The snapshot the environment asks for; none when ZORVANE_WINDOW_SNAPSHOT is unset.
    static std::unique_ptr<WindowSnapshot> fromEnvironment(AppBlockStore& store);

    // The texts of a window's visible items, top to bottom, then left to right.
    static QStringList visibleTexts(QQuickWindow& window);

    // Snapshots written so far.
    int writtenCount() const { return written_; }

signals:
    void written(const QString& picturePath);

private:
    void changed();
    void watchMainWindow();
    void frameDrawn();
    void write(QQuickWindow& window);

    QString picturePath_;
    QPointer<QQuickWindow> window_;
    QTimer settle_;
    QTimer findWindow_;
    bool pending_ = true;
    int written_ = 0;
};

} // namespace zorvane
