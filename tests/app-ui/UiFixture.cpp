#include "UiFixture.h"

#include "app/store/ActivityLog.h"
#include "app/store/ApplicationIconRenderer.h"
#include "app/store/ApplicationInspector.h"
#include "app/ui/ProtectionStatus.h"
#include "app/ui/ViewSupport.h"
#include "app/update/UpdateController.h"
#include "shared/RecordJson.h"
#include "tests/app-store/StoreFixtures.h"

#include <QAccessible>
#include <QBuffer>
#include <QDateTime>
#include <QDropEvent>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimeZone>
#include <QtTest/QTest>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

namespace zorvane::testing {
namespace {

PlistValue dataValue(const std::string& text) {
    return PlistData(text.begin(), text.end());
}

std::string utf8(const QString& text) {
    return text.toStdString();
}

// A stored icon as inspection makes them: a 128 × 128 PNG, here a tile in a colour of the name.
std::vector<std::uint8_t> iconFor(const QString& name) {
    QImage image(128, 128, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor::fromHsv(int(qHash(name) % 360), 150, 210));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(8, 8, 112, 112), 26, 26);
    painter.setPen(Qt::white);
    QFont font;
    font.setPixelSize(64);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRectF(8, 8, 112, 112), Qt::AlignCenter, name.left(1).toUpper());
    painter.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return std::vector<std::uint8_t>(png.begin(), png.end());
}

} // namespace

struct UiFixture::Inspections {
    mutable std::mutex mutex;
    std::condition_variable released;
    bool held = false;
    QStringList paths;
};

UiFixture::UiFixture(QObject* parent) : QObject(parent) {
    reset();
}

UiFixture::~UiFixture() {
    releaseInspections();
    store_.reset();
}

void UiFixture::releaseInspections() {
    if (!inspections_) {
        return;
    }
    {
        std::lock_guard lock(inspections_->mutex);
        inspections_->held = false;
    }
    inspections_->released.notify_all();
}

void UiFixture::reset() {
    // An inspection waiting for the test would outlive the store it was started for.
    releaseInspections();
    inspections_ = std::make_shared<Inspections>();
    dragData_.reset();
    if (store_) {
        store_.reset();
        emit storeChanged();
    }
    preferences_ = std::make_shared<MemoryPreferences>();
    notifications_ = std::make_shared<FakeNotifications>();
    workspace_ = std::make_shared<FakeWorkspace>();
    manager_ = std::make_shared<FakeFilterManager>();
    activator_ = std::make_shared<FakeActivator>();
    bundle_ = std::make_shared<FakeMainBundle>();
    viewBundle_ = std::make_shared<FakeMainBundle>();
    clock_ = std::make_shared<ManualClock>(fixtures::start);
    container_ = std::make_unique<TemporaryDirectory>();
    desktop_ = std::make_unique<TemporaryDirectory>();
    log_.reset();
    applications_.clear();
    grants_.clear();
    events_.clear();
    observations_.clear();
    answeredActivations_ = 0;
    openedUrls_.clear();
    quitRequests_ = 0;
    usePalette(QStringLiteral("default"));
    installEnvironment();
}

void UiFixture::installEnvironment() {
    ViewSupport::Environment environment;
    environment.mainBundle = viewBundle_;
    environment.preferences = preferences_;
    environment.openUrl = [this](const QUrl& url) {
        openedUrls_ << url.toString();
        emit desktopRequested();
        return true;
    };
    environment.quit = [this] {
        ++quitRequests_;
        emit desktopRequested();
    };
    environment.downloadsDirectory = [] {
        return std::optional<std::filesystem::path>("/home/tester/Downloads");
    };
    environment.applicationsDirectory = "/Applications";
    environment.loginItemsDirectory = "/home/tester/.config/autostart";
    environment.clock = clock_;
    ViewSupport::setEnvironment(std::move(environment));
}

QString UiFixture::addApplication(const QString& name, const QString& bundleIdentifier,
                                  int helpers) {
    std::vector<CodeIdentity> auxiliary;
    for (int index = 1; index <= helpers; ++index) {
        auxiliary.push_back(
            CodeIdentity{utf8(bundleIdentifier) + ".helper" + std::to_string(index), "TEAM123456"});
    }
    auto application =
        fixtures::application(utf8(name), utf8(bundleIdentifier), "TEAM123456", auxiliary);
    application.iconData = iconFor(name);
    applications_.push_back(application);
    return QString::fromStdString(application.id.string());
}

QString UiFixture::installDesktopEntry(const QString& name, const QString& format,
                                       const QString& colour) {
    const std::string id = utf8(name.toLower().remove(' '));
    const auto root = desktop_->path();
    const auto program = root / "opt" / id / id;
    std::filesystem::create_directories(program.parent_path());
    std::filesystem::copy_file("/bin/true", program,
                               std::filesystem::copy_options::overwrite_existing);
    const auto icons = root / "share/icons/hicolor";
    if (format == "svg") {
        const auto svg = icons / "scalable/apps" / (id + ".svg");
        std::filesystem::create_directories(svg.parent_path());
        std::ofstream(svg) << R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 64 64">)"
                           << R"(<rect x="4" y="4" width="56" height="56" rx="12" fill=")"
                           << utf8(colour) << R"("/>)"
                           << R"(<circle cx="32" cy="32" r="14" fill="none" stroke="white" )"
                           << R"(stroke-width="6"/></svg>)";
    } else {
        const auto png = icons / "256x256/apps" / (id + ".png");
        std::filesystem::create_directories(png.parent_path());
        QImage image(256, 256, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(colour));
        painter.drawEllipse(QRectF(16, 16, 224, 224));
        painter.setBrush(Qt::white);
        painter.drawRect(QRectF(88, 88, 80, 80));
        painter.end();
        image.save(QString::fromStdString(png.string()), "PNG");
    }
    const auto entry = root / "share/applications" / (id + ".desktop");
    std::filesystem::create_directories(entry.parent_path());
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nName=" << utf8(name)
                         << "\nIcon=" << id << "\nExec=" << program.string() << " %U\n";
    return QString::fromStdString(entry.string());
}

QVariantMap UiFixture::addInspected(const QString& path) {
    DesktopEnvironment desktop;
    desktop.dataDirectories = {desktop_->path() / "share"};
    desktop.iconThemes = {"hicolor"};
    const auto result = ApplicationInspector(&ApplicationIconRenderer::render, desktop)
                            .inspect(utf8(path), Uuid::random());
    const auto* application = std::get_if<BlockedApplication>(&result);
    if (!application) {
        return {};
    }
    applications_.push_back(*application);
    return {{QStringLiteral("id"), QString::fromStdString(application->id.string())},
            {QStringLiteral("signingIdentifier"),
             QString::fromStdString(application->signingIdentifier)},
            {QStringLiteral("hasIcon"), application->iconData.has_value()}};
}

void UiFixture::addEvent(const QString& processSigningIdentifier, const QString& host,
                         const QString& port, qint64 count, double secondsAgo) {
    const bool isLinuxProgram = processSigningIdentifier.startsWith('/');
    auto event =
        fixtures::event(utf8(processSigningIdentifier),
                        isLinuxProgram ? std::nullopt : std::optional<std::string>("TEAM123456"),
                        clock_->now().addingSeconds(-secondsAgo), count, utf8(host));
    event.destinationPort = port.isEmpty() ? std::nullopt : std::optional<std::string>(utf8(port));
    // The filter names a Linux program's executable as well, as its process's name.
    if (isLinuxProgram) {
        event.processExecutablePath = utf8(processSigningIdentifier);
    }
    events_.push_back(event);
}

void UiFixture::addObservation(const QString& signingIdentifier, double secondsAgo) {
    observations_.push_back(fixtures::observation(
        utf8(signingIdentifier), "TEAM123456", clock_->now().addingSeconds(-secondsAgo),
        "/Applications/Observed/" + utf8(signingIdentifier)));
}

void UiFixture::addGrant(const QString& applicationId, const QString& mode) {
    for (const auto& application : applications_) {
        if (QString::fromStdString(application.id.string()) != applicationId) {
            continue;
        }
        TemporaryAccessGrant grant;
        grant.applicationID = application.id;
        grant.applicationName = application.name;
        grant.applicationBundleIdentifier = application.bundleIdentifier;
        grant.codeIdentityKeys = {application.primaryCodeIdentity().key()};
        grant.applicationPath = application.path;
        const bool untilQuit = mode == QLatin1String("untilQuit");
        grant.mode =
            untilQuit ? TemporaryAccessGrant::Mode::untilQuit : TemporaryAccessGrant::Mode::timed;
        grant.expiresAt = clock_->now().addingSeconds(untilQuit ? 86400 : 300);
        grants_.push_back(grant);
    }
}

void UiFixture::setAvailableUpdate(const QString& version, const QString& releaseNotes) {
    nlohmann::json manifest = {
        {"version", utf8(version)},
        {"build", 900},
        {"downloadURL", "https://zorvane.app/download/Zorvane-" + utf8(version) + ".dmg"}};
    if (!releaseNotes.isEmpty()) {
        manifest["releaseNotes"] = utf8(releaseNotes);
    }
    preferences_->setValue(UpdateController::cachedManifestKey, dataValue(manifest.dump()));
}

void UiFixture::setProtectionRequested(bool requested) {
    preferences_->setValue(AppBlockStore::protectionRequestedKey, PlistValue(requested));
    if (store_) {
        const FilterStatus status = store_->filterStatus();
        store_->reloadSharedState();
        settle();
        // Re-reading the preferences refreshes the filter status too; keep the one the test set.
        setFilterStatus(ProtectionStatus::kindName(status.kind()), status.message());
    }
}

void UiFixture::setHasCompletedOnboarding(bool completed) {
    preferences_->setValue(ViewSupport::hasCompletedOnboardingKey, PlistValue(completed));
}

void UiFixture::setInApplicationsFolder(bool inApplications) {
    viewBundle_->inApplications = inApplications;
}

void UiFixture::setRunning(const QString& bundleIdentifier, bool running) {
    if (running) {
        workspace_->run(utf8(bundleIdentifier));
        return;
    }
    Workspace::RunningApplication ended;
    ended.bundleIdentifier = utf8(bundleIdentifier);
    std::erase_if(workspace_->running, [&](const Workspace::RunningApplication& application) {
        return application.bundleIdentifier == ended.bundleIdentifier;
    });
    if (workspace_->handler) {
        workspace_->handler(ended);
    }
}

void UiFixture::setBundleVersions(const QString& shortVersion, const QString& build) {
    auto optional = [](const QString& text) {
        return text.isEmpty() ? std::nullopt : std::optional<std::string>(utf8(text));
    };
    viewBundle_->shortVersionString = optional(shortVersion);
    viewBundle_->bundleVersion = optional(build);
}

void UiFixture::holdInspections(bool hold) {
    if (!hold) {
        releaseInspections();
        return;
    }
    std::lock_guard lock(inspections_->mutex);
    inspections_->held = true;
}

QStringList UiFixture::inspectedPaths() const {
    std::lock_guard lock(inspections_->mutex);
    return inspections_->paths;
}

bool UiFixture::sendDrag(QQuickItem* item, QEvent::Type type) {
    if (!item || !item->window()) {
        return false;
    }
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QEvent* event = nullptr;
    QDragEnterEvent enter(centre.toPoint(), Qt::CopyAction, dragData_.get(), Qt::LeftButton,
                          Qt::NoModifier);
    QDragMoveEvent move(centre.toPoint(), Qt::CopyAction, dragData_.get(), Qt::LeftButton,
                        Qt::NoModifier);
    QDropEvent drop(centre, Qt::CopyAction, dragData_.get(), Qt::LeftButton, Qt::NoModifier);
    QDragLeaveEvent leave;
    switch (type) {
    case QEvent::DragEnter:
        event = &enter;
        break;
    case QEvent::DragMove:
        event = &move;
        break;
    case QEvent::Drop:
        event = &drop;
        break;
    default:
        event = &leave;
        break;
    }
    // The window decides acceptance itself; start from "not accepted" as the platform does.
    event->ignore();
    QCoreApplication::sendEvent(item->window(), event);
    return event->isAccepted();
}

bool UiFixture::dragEnter(QQuickItem* item, const QStringList& urls) {
    dragData_ = std::make_unique<QMimeData>();
    QList<QUrl> list;
    for (const auto& url : urls) {
        list << QUrl(url);
    }
    dragData_->setUrls(list);
    sendDrag(item, QEvent::DragEnter);
    return sendDrag(item, QEvent::DragMove);
}

void UiFixture::dragLeave(QQuickItem* item) {
    sendDrag(item, QEvent::DragLeave);
}

bool UiFixture::drop(QQuickItem* item, const QStringList& urls) {
    dragEnter(item, urls);
    const bool accepted = sendDrag(item, QEvent::Drop);
    settle();
    return accepted;
}

bool UiFixture::start() {
    if (store_) {
        return false;
    }
    preferences_->setValue(AppBlockStore::defaultsKey,
                           dataValue(RecordJson::encodeBlockedApplications(applications_)));
    if (auto grants = RecordJson::encodeTemporaryAccessGrants(grants_)) {
        preferences_->setValue(AppBlockStore::temporaryAccessGrantsKey, dataValue(*grants));
    }
    // A stored wish keeps the store from deciding one from the first status it sees.
    if (!preferences_->value(AppBlockStore::protectionRequestedKey)) {
        preferences_->setValue(AppBlockStore::protectionRequestedKey, PlistValue(false));
    }

    auto log = std::make_shared<ActivityLog>(container_->path(), clock_);
    log_ = log;
    log->mergeEvents(events_);
    for (const auto& observation : observations_) {
        log->mergeObservation(observation);
    }
    const std::size_t expectedEvents = log->loadEvents().size();
    const std::size_t expectedObservations = log->loadObservations().size();

    AppBlockStore::Dependencies dependencies;
    dependencies.preferences = preferences_;
    dependencies.notifications = notifications_;
    dependencies.workspace = workspace_;
    dependencies.filterController = new FilterController(FilterController::Dependencies{
        manager_, activator_, bundle_, {}, clock_, std::make_shared<ManualScheduler>()});
    UpdateController::Options update{RunningVersion{"1.0", "1"}, preferences_};
    update.clock = clock_;
    // Nothing listens there: the start-up check fails at once and leaves the cached update.
    update.manifestUrl = QUrl(QStringLiteral("http://127.0.0.1:9/updates/latest.json"));
    update.openUrl = [this](const QUrl& url) {
        openedUrls_ << url.toString();
        emit desktopRequested();
    };
    dependencies.updateController = new UpdateController(std::move(update));
    dependencies.clock = clock_;
    dependencies.tickInterval = std::chrono::hours(1);
    dependencies.inspect = [inspections = inspections_](const std::filesystem::path& bundle,
                                                        const Uuid&) {
        std::unique_lock lock(inspections->mutex);
        inspections->paths << QString::fromStdString(bundle.string());
        inspections->released.wait(lock, [&] { return !inspections->held; });
        return ApplicationInspector::Result(ApplicationInspectionError::notAnApplication);
    };
    dependencies.activityLog = log;
    dependencies.ownIdentifier = OwnIdentifier(std::string("dev.quillmoor.Zorvane"));
    store_ = std::make_unique<AppBlockStore>(std::move(dependencies));

    const bool loaded = QTest::qWaitFor(
        [&] {
            return store_->hasLoadedApplications() &&
                   store_->activityEvents().size() == expectedEvents &&
                   store_->discoveredProcesses().size() == expectedObservations &&
                   !store_->updateController()->isChecking();
        },
        10000);
    settle();
    emit storeChanged();
    return loaded;
}

void UiFixture::answerPendingActivation() {
    // An unanswered request would swallow the next activation; end it first.
    if (activator_->submitted.size() > answeredActivations_) {
        activator_->fail(SystemError{"FixtureDomain", 99, "Ended by the test."},
                         activator_->submitted.size() - 1);
        settle();
    }
    answeredActivations_ = activator_->submitted.size();
}

bool UiFixture::setFilterStatus(const QString& kind, const QString& message) {
    if (!store_) {
        return false;
    }
    auto& controller = store_->filterController();
    manager_->holdAnswers = false;
    manager_->held.clear();
    manager_->loadError.reset();
    bundle_->inApplications = true;
    answerPendingActivation();

    if (kind == QLatin1String("installationRequired")) {
        bundle_->inApplications = false;
        controller.refreshStatus();
    } else if (kind == QLatin1String("inactive")) {
        manager_->stored.reset();
        controller.refreshStatus();
    } else if (kind == QLatin1String("enabled")) {
        FilterConfiguration configuration;
        configuration.enabled = true;
        manager_->stored = configuration;
        controller.refreshStatus();
    } else if (kind == QLatin1String("failed")) {
        manager_->loadError = SystemError{"FixtureDomain", 1, utf8(message)};
        controller.refreshStatus();
    } else if (kind == QLatin1String("awaitingApproval")) {
        manager_->stored.reset();
        controller.activate(store_->ruleSet());
        activator_->needsApproval(activator_->submitted.size() - 1);
    } else if (kind == QLatin1String("activating")) {
        manager_->stored.reset();
        // Refreshes while it activates get no answer, so nothing moves it on.
        manager_->holdAnswers = true;
        controller.activate(store_->ruleSet());
    } else {
        return false;
    }
    settle();
    return ProtectionStatus::kindName(store_->filterStatus().kind()) == kind;
}

bool UiFixture::reportEvent(const QString& processSigningIdentifier, const QString& host,
                            const QString& port, qint64 count) {
    if (!store_ || !log_) {
        return false;
    }
    const bool isLinuxProgram = processSigningIdentifier.startsWith('/');
    auto event =
        fixtures::event(utf8(processSigningIdentifier),
                        isLinuxProgram ? std::nullopt : std::optional<std::string>("TEAM123456"),
                        clock_->now(), count, utf8(host));
    event.destinationPort = port.isEmpty() ? std::nullopt : std::optional<std::string>(utf8(port));
    // The filter names a Linux program's executable as well, as its process's name.
    if (isLinuxProgram) {
        event.processExecutablePath = utf8(processSigningIdentifier);
    }
    log_->mergeEvents({event});
    const std::size_t expected = log_->loadEvents().size();
    store_->refreshActivity();
    const bool loaded =
        QTest::qWaitFor([&] { return store_->activityEvents().size() == expected; }, 10000);
    settle();
    return loaded;
}

void UiFixture::setSystemFilterEnabled(bool enabled) {
    FilterConfiguration configuration;
    configuration.enabled = enabled;
    manager_->stored = configuration;
}

void UiFixture::settle() {
    testing::settle();
}

QDateTime UiFixture::now() const {
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(clock_->now().unixSeconds() * 1000.0),
                                          Qt::UTC);
}

} // namespace zorvane::testing

namespace zorvane::testing {
namespace {

struct DesktopPalette {
    const char* name;
    const char* window;
    const char* windowText;
    const char* base;
    const char* text;
    const char* button;
    const char* highlight;
};

// The window, text and accent colours of the colour schemes most Linux desktops ship.
constexpr DesktopPalette desktopPalettes[] = {
    {"fusion-light", "#efefef", "#000000", "#ffffff", "#000000", "#efefef", "#308cc6"},
    {"adwaita-light", "#f6f5f4", "#2e3436", "#ffffff", "#2e3436", "#f6f5f4", "#3584e4"},
    {"breeze-light", "#eff0f1", "#232629", "#fcfcfc", "#232629", "#eff0f1", "#3daee9"},
    {"adwaita-dark", "#353535", "#eeeeec", "#2d2d2d", "#eeeeec", "#353535", "#15539e"},
    {"breeze-dark", "#31363b", "#eff0f1", "#232629", "#eff0f1", "#31363b", "#3daee9"},
};

} // namespace

QSize UiFixture::saveWindowImage(QQuickWindow* window, const QString& path) const {
    if (!window) {
        return {};
    }
    const QImage image = window->grabWindow();
    if (image.isNull() || !image.save(path)) {
        return {};
    }
    return image.size();
}

QVariantMap UiFixture::accessibleReading(QQuickItem* item) const {
    QVariantMap reading;
    QAccessibleInterface* interface = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
    if (!interface || !interface->isValid()) {
        return reading;
    }
    reading.insert(QStringLiteral("role"), static_cast<int>(interface->role()));
    reading.insert(QStringLiteral("name"), interface->text(QAccessible::Name));
    reading.insert(QStringLiteral("description"), interface->text(QAccessible::Description));
    reading.insert(QStringLiteral("value"), interface->text(QAccessible::Value));
    const QAccessible::State state = interface->state();
    reading.insert(QStringLiteral("checkable"), bool(state.checkable));
    reading.insert(QStringLiteral("checked"), bool(state.checked));
    reading.insert(QStringLiteral("disabled"), bool(state.disabled));
    if (QAccessibleValueInterface* value = interface->valueInterface()) {
        reading.insert(QStringLiteral("currentValue"), value->currentValue());
    }
    return reading;
}

QStringList UiFixture::paletteNames() const {
    QStringList names;
    for (const auto& palette : desktopPalettes) {
        names << QString::fromLatin1(palette.name);
    }
    return names;
}

bool UiFixture::usePalette(const QString& name) {
    if (!startingPalette_) {
        startingPalette_ = QGuiApplication::palette();
    }
    if (name == QLatin1String("default")) {
        if (QGuiApplication::palette() != *startingPalette_) {
            QGuiApplication::setPalette(*startingPalette_);
        }
        return true;
    }
    for (const auto& scheme : desktopPalettes) {
        if (name != QLatin1String(scheme.name)) {
            continue;
        }
        const QColor window(scheme.window);
        const QColor windowText(scheme.windowText);
        QPalette palette(QColor(scheme.button), window);
        palette.setColor(QPalette::WindowText, windowText);
        palette.setColor(QPalette::ButtonText, windowText);
        palette.setColor(QPalette::Base, QColor(scheme.base));
        palette.setColor(QPalette::AlternateBase, window);
        palette.setColor(QPalette::Text, QColor(scheme.text));
        palette.setColor(QPalette::Highlight, QColor(scheme.highlight));
        palette.setColor(QPalette::HighlightedText, Qt::white);
        QGuiApplication::setPalette(palette);
        return true;
    }
    return false;
}

} // namespace zorvane::testing
