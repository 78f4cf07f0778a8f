#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>

namespace zorvane {

// The running application as the desktop reaches it (org.freedesktop.Application on the session
// bus, under the application's identifier as bus name): a launcher, a dock or a file manager
// that finds it running activates it instead of starting it again. Each activation runs the
// handler on the main thread. Without a session bus, or while another process owns the name,
// it answers nothing and nothing fails.
class DesktopApplicationActivation final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    // applicationIdentifier: a reverse-DNS name such as "dev.quillmoor.Zorvane".
    DesktopApplicationActivation(const QString& applicationIdentifier,
                                 std::function<void()> handler,
                                 QDBusConnection connection = QDBusConnection::sessionBus());
    ~DesktopApplicationActivation() override;

    // Whether the name and the object were taken on the bus.
    bool isRegistered() const { return registered_; }

    // The object path for an identifier: its dots as slashes ("/dev/quillmoor/Zorvane").
    static QString objectPath(const QString& applicationIdentifier);

public slots:
    void Activate(const QVariantMap& platformData);
    void Open(const QStringList& uris, const QVariantMap& platformData);
    void ActivateAction(const QString& actionName, const QVariantList& parameter,
                        const QVariantMap& platformData);

private:
    QDBusConnection connection_;
    const QString service_;
    const QString path_;
    const std::function<void()> handler_;
    bool registered_ = false;
};

} // namespace zorvane
