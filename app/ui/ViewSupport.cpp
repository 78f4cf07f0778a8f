#include "app/ui/ViewSupport.h"

#include "app/ui/ApplicationIconProvider.h"
#include "app/ui/DesktopPalette.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/XdgDirectories.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMutex>
#include <QMutexLocker>
#include <QQmlEngine>
#include <QStandardPaths>
#include <QStringList>
#include <cmath>

namespace zorvane {
namespace {

QMutex environmentMutex;
std::optional<ViewSupport::Environment> replacedEnvironment;

QString text(const std::optional<std::string>& value) {
    return value ? QString::fromStdString(*value) : QString();
}

QUrl folderUrl(const std::filesystem::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

} // namespace

ViewSupport::Environment ViewSupport::standardEnvironment() {
    Environment environment;
    environment.mainBundle = LinuxMainBundle::current();
    environment.preferences = Preferences::standard();
    environment.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    environment.quit = [] { QCoreApplication::quit(); };
    environment.downloadsDirectory = []() -> std::optional<std::filesystem::path> {
        const QStringList locations =
            QStandardPaths::standardLocations(QStandardPaths::DownloadLocation);
        if (locations.isEmpty()) {
            return std::nullopt;
        }
        return std::filesystem::path(locations.first().toStdString());
    };
    environment.applicationsDirectory = LinuxMainBundle::defaultApplicationsDirectory();
    if (auto configHome = XdgDirectories::configHome()) {
        environment.loginItemsDirectory = *configHome / "autostart";
    }
    environment.clock = Clock::system();
    return environment;
}

void ViewSupport::setEnvironment(Environment environment) {
    QMutexLocker lock(&environmentMutex);
    replacedEnvironment = std::move(environment);
}

ViewSupport::Environment ViewSupport::environment() {
    std::optional<Environment> replaced;
    {
        QMutexLocker lock(&environmentMutex);
        replaced = replacedEnvironment;
    }
    if (replaced && replaced->mainBundle && replaced->preferences && replaced->openUrl &&
        replaced->quit && replaced->downloadsDirectory && replaced->clock) {
        return *replaced;
    }
    Environment standard = standardEnvironment();
    if (!replaced) {
        return standard;
    }
    if (!replaced->mainBundle) {
        replaced->mainBundle = standard.mainBundle;
    }
    if (!replaced->preferences) {
        replaced->preferences = standard.preferences;
    }
    if (!replaced->openUrl) {
        replaced->openUrl = standard.openUrl;
    }
    if (!replaced->quit) {
        replaced->quit = standard.quit;
    }
    if (!replaced->downloadsDirectory) {
        replaced->downloadsDirectory = standard.downloadsDirectory;
    }
    if (!replaced->clock) {
        replaced->clock = standard.clock;
    }
    if (replaced->applicationsDirectory.empty()) {
        replaced->applicationsDirectory = standard.applicationsDirectory;
    }
    if (replaced->loginItemsDirectory.empty()) {
        replaced->loginItemsDirectory = standard.loginItemsDirectory;
    }
    return *replaced;
}

ViewSupport::ViewSupport(QObject* parent) : QObject(parent), environment_(environment()) {}

void ViewSupport::classBegin() {
    // The views' images come from the icon provider; whoever hosts them need not know.
    if (QQmlEngine* engine = qmlEngine(this)) {
        ApplicationIconProvider::install(*engine);
    }
    // The running program's views follow the desktop's light or dark wish; views under test
    // (with an environment of their own) keep the palette the test gives them.
    bool isStandard = false;
    {
        QMutexLocker lock(&environmentMutex);
        isStandard = !replacedEnvironment.has_value();
    }
    if (isStandard) {
        DesktopPalette::followSessionDesktop();
    }
}

bool ViewSupport::isInApplicationsFolder() const {
    return environment_.mainBundle->isInApplicationsFolder();
}

QString ViewSupport::shortVersion() const {
    return text(environment_.mainBundle->shortVersion());
}

QString ViewSupport::buildVersion() const {
    return text(environment_.mainBundle->buildVersion());
}

QString ViewSupport::versionText() const {
    return versionText(environment_.mainBundle->shortVersion(),
                       environment_.mainBundle->buildVersion());
}

QString ViewSupport::versionText(const std::optional<std::string>& shortVersion,
                                 const std::optional<std::string>& build) {
    QString result =
        shortVersion ? QString::fromStdString(*shortVersion) : QStringLiteral("Unknown");
    if (build) {
        result += QStringLiteral(" (") + QString::fromStdString(*build) + QLatin1Char(')');
    }
    return result;
}

bool ViewSupport::hasCompletedOnboarding() const {
    auto value = environment_.preferences->value(hasCompletedOnboardingKey);
    return value && value->boolean() && *value->boolean();
}

void ViewSupport::setHasCompletedOnboarding(bool completed) {
    if (completed == hasCompletedOnboarding()) {
        return;
    }
    environment_.preferences->setValue(hasCompletedOnboardingKey, PlistValue(completed));
    environment_.preferences->synchronize();
    emit hasCompletedOnboardingChanged();
}

QString ViewSupport::ownIconSource() const {
    return QString::fromLatin1(ApplicationIconProvider::selfSource);
}

QString ViewSupport::placeholderIconSource() const {
    return QString::fromLatin1(ApplicationIconProvider::placeholderSource);
}

bool ViewSupport::openInstallFolders() {
    bool opened = false;
    if (auto downloads = environment_.downloadsDirectory()) {
        opened = environment_.openUrl(folderUrl(*downloads));
    }
    // Both, whatever the first did: the user drags from one into the other.
    opened = environment_.openUrl(folderUrl(environment_.applicationsDirectory)) || opened;
    return opened;
}

void ViewSupport::quit() {
    environment_.quit();
}

bool ViewSupport::openLoginItemsSettings() {
    if (environment_.loginItemsDirectory.empty()) {
        return false;
    }
    return environment_.openUrl(folderUrl(environment_.loginItemsDirectory));
}

QDateTime ViewSupport::now() const {
    return QDateTime::fromMSecsSinceEpoch(
        static_cast<qint64>(std::llround(environment_.clock->now().unixSeconds() * 1000.0)),
        Qt::UTC);
}

QString ViewSupport::relativeTime(const QDateTime& since, const QDateTime& now) {
    const qint64 seconds =
        since.isValid() && now.isValid() ? std::max<qint64>(since.secsTo(now), 0) : 0;
    struct Unit {
        qint64 seconds;
        const char* singular;
        const char* plural;
    };
    static constexpr Unit units[] = {{604800, "wk", "wk"},
                                     {86400, "day", "days"},
                                     {3600, "hr", "hr"},
                                     {60, "min", "min"},
                                     {1, "sec", "sec"}};
    auto part = [](qint64 count, const Unit& unit) {
        return QStringLiteral("%1 %2").arg(count).arg(
            QLatin1String(count == 1 ? unit.singular : unit.plural));
    };
    for (std::size_t index = 0; index < std::size(units); ++index) {
        const qint64 count = seconds / units[index].seconds;
        if (count == 0) {
            continue;
        }
        QString result = part(count, units[index]);
        if (index + 1 < std::size(units)) {
            const Unit& next = units[index + 1];
            const qint64 rest = (seconds % units[index].seconds) / next.seconds;
            if (rest > 0) {
                result += QStringLiteral(", ") + part(rest, next);
            }
        }
        return result;
    }
    return QStringLiteral("0 sec");
}

} // namespace zorvane
