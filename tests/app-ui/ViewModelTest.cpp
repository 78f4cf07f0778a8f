#include "UiFixture.h"
#include "app/ui/ApplicationIconCache.h"
#include "app/ui/ApplicationListModel.h"
#include "app/ui/MainWindowRows.h"
#include "app/ui/PlatformTexts.h"
#include "app/ui/RecentActivityModel.h"
#include "app/ui/SymbolTable.h"
#include "app/ui/ViewSupport.h"
#include "shared/PlatformWording.h"
#include "tests/app-store/StoreFixtures.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRawFont>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <set>

namespace zorvane {
namespace {

std::vector<std::uint8_t> png(QColor colour) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {bytes.begin(), bytes.end()};
}

// A desktop that has an icon for one path only.
class IconWorkspace final : public Workspace {
public:
    std::filesystem::path iconPath;
    mutable std::atomic<int> iconRequests = 0;

    std::vector<RunningApplication> runningApplications() const override { return {}; }
    void setTerminationHandler(TerminationHandler) override {}
    bool openURL(const std::string&) override { return false; }
    bool activate(const RunningApplication&) override { return false; }
    bool launchNewInstance(const std::filesystem::path&) override { return false; }
    std::optional<std::vector<std::uint8_t>>
    iconForFile(const std::filesystem::path& path) const override {
        ++iconRequests;
        if (path != iconPath) {
            return std::nullopt;
        }
        return png(Qt::green);
    }
};

TEST(SymbolTableTest, EveryNameTheViewsUseHasAGlyphInTheFont) {
    ASSERT_TRUE(SymbolTable::isFontAvailable()) << SymbolTable::fontPath;
    const QRawFont font = QRawFont::fromFont(SymbolTable::font(24));
    ASSERT_TRUE(font.isValid());
    std::set<std::string_view> names;
    for (const auto& entry : SymbolTable::entries()) {
        EXPECT_TRUE(names.insert(entry.name).second) << "listed twice: " << entry.name;
        EXPECT_TRUE(font.supportsCharacter(QChar(entry.codepoint)))
            << entry.name << " -> " << entry.glyph;
        EXPECT_EQ(SymbolTable::codepoint(entry.name), entry.codepoint) << entry.name;
    }
    EXPECT_TRUE(SymbolTable::glyph(QStringLiteral("no.such.symbol")).isEmpty());

    // Every symbol named in a view must be in the table: a missing one would draw nothing.
    const QRegularExpression symbolName(
        QStringLiteral(R"re((?:name|symbol):\s*"([a-z0-9]+(?:\.[a-z0-9]+)*)")re"));
    const QDir views(QStringLiteral(ZORVANE_UI_SOURCE_DIR));
    int found = 0;
    for (const QString& file : views.entryList({QStringLiteral("*.qml")})) {
        QFile source(views.filePath(file));
        ASSERT_TRUE(source.open(QIODevice::ReadOnly)) << file.toStdString();
        const QString text = QString::fromUtf8(source.readAll());
        for (auto match = symbolName.globalMatch(text); match.hasNext();) {
            const QString name = match.next().captured(1);
            ++found;
            EXPECT_TRUE(SymbolTable::codepoint(name.toStdString()))
                << file.toStdString() << " uses " << name.toStdString();
        }
    }
    EXPECT_GE(found, 8) << "the scan finds the views' symbols";
}

TEST(SymbolTableTest, ImagesForTheStatusItem) {
    auto inked = [](const QImage& image) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                count += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
            }
        }
        return count;
    };
    const QImage shield = SymbolTable::image(QStringLiteral("shield.fill"), 32, Qt::black);
    EXPECT_EQ(shield.size(), QSize(32, 32));
    // A filled shield covers a good part of its square, in the colour asked for.
    EXPECT_GT(inked(shield), 32 * 32 / 4);
    EXPECT_EQ(shield.pixelColor(16, 14).rgb(), QColor(Qt::black).rgb());
    EXPECT_EQ(inked(SymbolTable::image(QStringLiteral("no.such.symbol"), 32, Qt::black)), 0);
}

TEST(PlatformWordingTest, BothTablesSayTheSameThingsAndLinuxNamesNoMacThing) {
    std::set<std::string_view> macKeys;
    std::set<std::string_view> linuxKeys;
    for (const auto& entry : PlatformWording::macOS) {
        EXPECT_TRUE(macKeys.insert(entry.key).second) << "twice: " << entry.key;
    }
    for (const auto& entry : PlatformWording::linuxDesktop) {
        EXPECT_TRUE(linuxKeys.insert(entry.key).second) << "twice: " << entry.key;
        EXPECT_FALSE(QString::fromUtf8(entry.text).trimmed().isEmpty()) << entry.key;
    }
    EXPECT_EQ(macKeys, linuxKeys);

    // What only a Mac has: its file manager, its settings application and folders, the
    // machine's own name, the menu bar, its bundles.
    const QRegularExpression macThing(QStringLiteral(
        R"(Finder|\bMac\b|Mac's|macOS|System Settings|System Preferences|Applications folder|)"
        R"(\bApplications\b|[Mm]enu [Bb]ar|Launchpad|Dock|\.app\b|Login Items)"));
    for (const auto& entry : PlatformWording::linuxDesktop) {
        const QString text = QString::fromUtf8(entry.text);
        EXPECT_FALSE(macThing.match(text).hasMatch()) << entry.key << ": " << text.toStdString();
    }
    // This build is a Linux build: its views and messages read the Linux table.
    EXPECT_STREQ(PlatformWording::text("dropZone.subtitle"),
                 PlatformWording::find(PlatformWording::linuxDesktop, "dropZone.subtitle"));
}

TEST(PlatformWordingTest, EveryKeyTheViewsAskForIsInTheTable) {
    const QDir views(QStringLiteral(ZORVANE_UI_SOURCE_DIR));
    const QRegularExpression use(QStringLiteral(R"re(Texts\.text\("([^"]+)"\))re"));
    int uses = 0;
    for (const QString& name : views.entryList({QStringLiteral("*.qml")}, QDir::Files)) {
        QFile file(views.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        const QString source = QString::fromUtf8(file.readAll());
        for (auto match = use.globalMatch(source); match.hasNext();) {
            const QString key = match.next().captured(1);
            ++uses;
            EXPECT_NE(PlatformWording::find(PlatformWording::macOS, key.toStdString()), nullptr)
                << name.toStdString() << ": " << key.toStdString();
            EXPECT_NE(PlatformTexts::text(key), key)
                << name.toStdString() << ": " << key.toStdString();
        }
    }
    EXPECT_GE(uses, 15);
}

TEST(ViewSupportTest, RelativeTimeShowsTheTwoLargestUnits) {
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
    auto since = [&](qint64 seconds) {
        return ViewSupport::relativeTime(now.addSecs(-seconds), now);
    };
    EXPECT_EQ(since(0), "0 sec");
    EXPECT_EQ(since(59), "59 sec");
    EXPECT_EQ(since(60), "1 min");
    EXPECT_EQ(since(125), "2 min, 5 sec");
    EXPECT_EQ(since(7260), "2 hr, 1 min");
    EXPECT_EQ(since(90000), "1 day, 1 hr");
    EXPECT_EQ(since(2 * 86400), "2 days");
    EXPECT_EQ(since(15 * 86400), "2 wk, 1 day");
    // A clock set back shows no negative time.
    EXPECT_EQ(since(-300), "0 sec");
}

TEST(ViewSupportTest, VersionTextWithAndWithoutItsParts) {
    EXPECT_EQ(ViewSupport::versionText("1.4", "27"), "1.4 (27)");
    EXPECT_EQ(ViewSupport::versionText("1.4", std::nullopt), "1.4");
    EXPECT_EQ(ViewSupport::versionText(std::nullopt, "27"), "Unknown (27)");
    EXPECT_EQ(ViewSupport::versionText(std::nullopt, std::nullopt), "Unknown");
}

TEST(ViewSupportTest, OnboardingPreferenceAndInstallFolders) {
    testing::UiFixture fixture; // installs an environment over in-memory fakes
    auto environment = ViewSupport::environment();
    std::vector<QString> opened;
    environment.openUrl = [&](const QUrl& url) {
        opened.push_back(url.toString());
        return true;
    };
    environment.downloadsDirectory = [] { return std::optional<std::filesystem::path>(); };
    ViewSupport::setEnvironment(environment);

    ViewSupport support;
    QSignalSpy changed(&support, &ViewSupport::hasCompletedOnboardingChanged);
    EXPECT_FALSE(support.hasCompletedOnboarding());
    support.setHasCompletedOnboarding(true);
    support.setHasCompletedOnboarding(true);
    EXPECT_EQ(changed.count(), 1);
    auto stored = environment.preferences->value(ViewSupport::hasCompletedOnboardingKey);
    ASSERT_TRUE(stored && stored->boolean());
    EXPECT_TRUE(*stored->boolean());
    // A second view reads what the first stored.
    EXPECT_TRUE(ViewSupport().hasCompletedOnboarding());

    // Without a downloads folder only the Applications folder opens.
    EXPECT_TRUE(support.openInstallFolders());
    EXPECT_EQ(opened, std::vector<QString>{"file:///Applications"});
}

TEST(ApplicationIconCacheTest, StoredIconThenTheFilesIconThenNone) {
    auto workspace = std::make_shared<IconWorkspace>();
    auto& cache = ApplicationIconCache::shared();

    auto stored = fixtures::application("Stored", "com.example.stored");
    stored.iconData = png(Qt::red);
    const QString storedSource = cache.sourceFor(stored, workspace);
    ASSERT_FALSE(storedSource.isEmpty());
    const QString key = storedSource.section(QLatin1Char('/'), -1);
    EXPECT_EQ(cache.image(key).pixelColor(8, 8), QColor(Qt::red));
    // The same content is decoded once and keeps its address.
    const auto entries = cache.size();
    EXPECT_EQ(cache.sourceFor(stored, workspace), storedSource);
    EXPECT_EQ(cache.size(), entries);
    EXPECT_EQ(workspace->iconRequests, 0);

    // A changed icon gets a new address, so the views do not show the old image.
    stored.iconData = png(Qt::blue);
    EXPECT_NE(cache.sourceFor(stored, workspace), storedSource);

    // Undecodable data falls back to the desktop's icon for the bundle, read off the main
    // thread: no address until it is there, then a notice and the address.
    auto broken = fixtures::application("Broken", "com.example.broken");
    broken.iconData = std::vector<std::uint8_t>{'n', 'o', 't', ' ', 'p', 'n', 'g'};
    workspace->iconPath = broken.path;
    QSignalSpy added(&cache, &ApplicationIconCache::iconsAdded);
    EXPECT_TRUE(cache.sourceFor(broken, workspace).isEmpty());
    ASSERT_TRUE(added.wait(5000));
    const QString fallback = cache.sourceFor(broken, workspace);
    ASSERT_FALSE(fallback.isEmpty());
    EXPECT_EQ(cache.image(fallback.section(QLatin1Char('/'), -1)).pixelColor(8, 8),
              QColor(Qt::green));

    // Nothing anywhere: no address, and the view draws its placeholder.
    auto bare = fixtures::application("Bare", "com.example.bare");
    const auto known = cache.size();
    EXPECT_TRUE(cache.sourceFor(bare, workspace).isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return cache.size() == known + 1; }, 5000));
    EXPECT_TRUE(cache.sourceFor(bare, workspace).isEmpty());
    EXPECT_EQ(workspace->iconRequests, 2) << "a missing icon is remembered too";
}

TEST(ApplicationListModelTest, ChangesAreFoldedAndKeepTheRows) {
    testing::UiFixture fixture;
    const QString mail = fixture.addApplication("Mail", "com.example.mail", 1);
    fixture.addApplication("Notes", "com.example.notes");
    fixture.addEvent("com.example.mail", "imap.example.com", "993", 4);
    fixture.setProtectionRequested(true);
    ASSERT_TRUE(fixture.start());
    ASSERT_TRUE(fixture.setFilterStatus("enabled"));

    ApplicationListModel model;
    model.setStore(fixture.store());
    ASSERT_EQ(model.count(), 2);
    EXPECT_EQ(model.get(0).value("blockedAttemptCount").toLongLong(), 4);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);

    // A grant updates the rows in place: no reset, so the rows' own state survives.
    const int before = model.refreshCount();
    fixture.store()->allowTemporarily(mail, 300);
    fixture.store()->allowTemporarily(mail, 300);
    fixture.settle();
    EXPECT_EQ(model.refreshCount(), before + 1) << "signals of one turn are folded";
    EXPECT_EQ(resets.count(), 0);
    ASSERT_EQ(changes.count(), 1);
    EXPECT_EQ(changes.at(0).at(0).value<QModelIndex>().row(), 0);
    EXPECT_EQ(changes.at(0).at(1).value<QModelIndex>().row(), 1);
    EXPECT_EQ(model.get(0).value("grantState").toString(), "timed");
    EXPECT_EQ(model.data(model.index(0), ApplicationListModel::GrantStateRole).toString(), "timed");

    // Removing a row is a new list.
    QSignalSpy counts(&model, &ApplicationListModel::countChanged);
    fixture.store()->removeApplication(mail);
    fixture.settle();
    EXPECT_EQ(resets.count(), 1);
    EXPECT_EQ(counts.count(), 1);
    ASSERT_EQ(model.count(), 1);
    EXPECT_EQ(model.get(0).value("name").toString(), "Notes");
    EXPECT_TRUE(model.get(5).isEmpty());
}

TEST(MainWindowRowsTest, OneListWhoseRangesMoveOnTheirOwn) {
    testing::UiFixture fixture;
    const QString mail = fixture.addApplication("Mail", "com.example.mail");
    fixture.addApplication("Notes", "com.example.notes");
    fixture.addEvent("com.example.mail", "imap.example.com", "993", 2, 30);
    fixture.addEvent("com.example.notes", "sync.example.com", "443", 1, 60);
    fixture.setProtectionRequested(true);
    ASSERT_TRUE(fixture.start());
    ASSERT_TRUE(fixture.setFilterStatus("enabled"));

    RecentActivityModel activity;
    activity.setStore(fixture.store());
    ApplicationListModel applications;
    applications.setStore(fixture.store());
    MainWindowRows rows;
    rows.setActivity(&activity);
    rows.setApplications(&applications);

    auto at = [&](int row, int role) { return rows.data(rows.index(row), role); };
    const std::vector<QString> kinds{"activity", "activity", "applicationsTitle", "application",
                                     "application"};
    ASSERT_EQ(rows.rowCount(), 5);
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(at(row, MainWindowRows::KindRole).toString(), kinds[std::size_t(row)]) << row;
    }
    EXPECT_EQ(at(0, MainWindowRows::EntryRole).toMap().value("destination").toString(),
              "imap.example.com:993");
    EXPECT_TRUE(at(1, MainWindowRows::IsLastOfKindRole).toBool());
    EXPECT_EQ(at(3, MainWindowRows::EntryRole).toMap().value("id").toString(), mail);
    EXPECT_TRUE(at(3, MainWindowRows::IsFirstOfKindRole).toBool());
    EXPECT_FALSE(at(3, MainWindowRows::IsLastOfKindRole).toBool());
    EXPECT_TRUE(at(4, MainWindowRows::IsLastOfKindRole).toBool());

    // New activity re-lists the activity rows only: the application rows (and whatever state
    // their delegates keep) stay.
    QSignalSpy removed(&rows, &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(&rows, &QAbstractItemModel::rowsInserted);
    ASSERT_TRUE(fixture.reportEvent("com.example.notes", "push.example.com", "5223", 4));
    ASSERT_EQ(rows.rowCount(), 6);
    EXPECT_EQ(at(0, MainWindowRows::EntryRole).toMap().value("destination").toString(),
              "push.example.com:5223");
    for (const auto* spy : {&removed, &inserted}) {
        for (const auto& signal : *spy) {
            EXPECT_LT(signal.at(2).toInt(), 3) << "only rows of the activity range move";
        }
    }
    EXPECT_FALSE(inserted.isEmpty());
    removed.clear();
    inserted.clear();

    // An application's grant changes its rows in place, at their place in the one list.
    QSignalSpy changed(&rows, &QAbstractItemModel::dataChanged);
    fixture.store()->allowTemporarily(mail, 300);
    fixture.settle();
    EXPECT_EQ(removed.count(), 0);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).value<QModelIndex>().row(), 4);
    EXPECT_EQ(changed.at(0).at(1).value<QModelIndex>().row(), 5);
    EXPECT_EQ(at(4, MainWindowRows::EntryRole).toMap().value("grantState").toString(), "timed");

    // Removing Mail takes its activity row and its application row; the title stays between.
    fixture.store()->removeApplication(mail);
    fixture.settle();
    ASSERT_EQ(rows.rowCount(), 4);
    EXPECT_EQ(at(1, MainWindowRows::EntryRole).toMap().value("destination").toString(),
              "sync.example.com:443");
    EXPECT_EQ(at(2, MainWindowRows::KindRole).toString(), "applicationsTitle");
    EXPECT_EQ(at(3, MainWindowRows::EntryRole).toMap().value("name").toString(), "Notes");
    EXPECT_FALSE(removed.isEmpty());
    EXPECT_FALSE(inserted.isEmpty());
}

} // namespace
} // namespace zorvane
