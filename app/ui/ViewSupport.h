#pragma once

#include "platform/MainBundle.h"
#include "platform/Preferences.h"
#include "shared/Clock.h"

#include <QDateTime>
#include <QObject>
#include <QQmlParserStatus>
#include <QString>
#include <QUrl>
#include <QtQml/qqmlregistration.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace zorvane {

// What the views need of the program around them that is not the store's: the bundle's place
// and versions, the guide's "hasCompletedOnboarding" preference, and the few desktop actions
// the banners offer. Each view makes its own; they all read one process-wide environment,
// which tests replace before they build a view.
class ViewSupport : public QObject, public QQmlParserStatus {
    Q_OBJECT
    Q_INTERFACES(QQmlParserStatus)
    QML_ELEMENT
    Q_PROPERTY(bool isInApplicationsFolder READ isInApplicationsFolder CONSTANT)
    // "CFBundleShortVersionString" and "CFBundleVersion"; empty when absent.
    Q_PROPERTY(QString shortVersion READ shortVersion CONSTANT)
    Q_PROPERTY(QString buildVersion READ buildVersion CONSTANT)
    // "1.0 (1)", "1.0" without a build, "Unknown" or "Unknown (1)" without a short version.
    Q_PROPERTY(QString versionText READ versionText CONSTANT)
    Q_PROPERTY(bool hasCompletedOnboarding READ hasCompletedOnboarding WRITE
                   setHasCompletedOnboarding NOTIFY hasCompletedOnboardingChanged)
    Q_PROPERTY(QString ownIconSource READ ownIconSource CONSTANT)
    // What stands in for an application without any icon.
    Q_PROPERTY(QString placeholderIconSource READ placeholderIconSource CONSTANT)

public:
    static constexpr const char* hasCompletedOnboardingKey = "hasCompletedOnboarding";

    struct Environment {
        std::shared_ptr<const MainBundle> mainBundle;
        std::shared_ptr<Preferences> preferences;
        // Hands an address to the desktop's default handler; false when nothing took it.
        std::function<bool(const QUrl&)> openUrl;
        std::function<void()> quit;
        // The user's downloads folder, if the desktop names one.
        std::function<std::optional<std::filesystem::path>()> downloadsDirectory;
        // The folder that plays the system's Applications folder.
        std::filesystem::path applicationsDirectory;
        // Where the desktop keeps its login items: the XDG autostart folder, which holds the
        // status agent's entry.
        std::filesystem::path loginItemsDirectory;
        // "Now" for the relative times the views show.
        std::shared_ptr<const Clock> clock;
    };

    // The running program's: its bundle, the standard preferences, the desktop's handlers.
    static Environment standardEnvironment();
    // Replaces the environment that views made from now on use; empty members keep the
    // standard ones.
    static void setEnvironment(Environment environment);
    static Environment environment();

    explicit ViewSupport(QObject* parent = nullptr);

    bool isInApplicationsFolder() const;
    QString shortVersion() const;
    QString buildVersion() const;
    QString versionText() const;
    static QString versionText(const std::optional<std::string>& shortVersion,
                               const std::optional<std::string>& build);
    bool hasCompletedOnboarding() const;
    void setHasCompletedOnboarding(bool completed);
    QString ownIconSource() const;
    QString placeholderIconSource() const;

    // The installation banner's way out: the downloads folder (when there is one), then the
    // Applications folder, each in the file manager. False when neither opened.
    Q_INVOKABLE bool openInstallFolders();
    Q_INVOKABLE void quit();
    // macOS opens the Login Items page of System Settings; the Linux desktops have no common
    // page for it, so the autostart folder with the agent's entry is opened instead. False when
    // nothing took it.
    Q_INVOKABLE bool openLoginItemsSettings();

    // Time since an instant in the platform's relative style: the two largest units, as in
    // "2 min, 5 sec" or "3 hr, 12 min"; "0 sec" for an instant in the future.
    Q_INVOKABLE static QString relativeTime(const QDateTime& since, const QDateTime& now);
    Q_INVOKABLE QDateTime now() const;

    void classBegin() override;
    void componentComplete() override {}

signals:
    void hasCompletedOnboardingChanged();

private:
    Environment environment_;
};

} // namespace zorvane
