#include "platform/linux/FilterConfigurationFile.h"

#include "platform/linux/FileLock.h"
#include "platform/linux/InstalledTree.h"
#include "platform/linux/SystemDirectory.h"
#include "shared/PlistCodec.h"
#include "tests/support/TemporaryDirectory.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace zorvane {
namespace {

FilterConfiguration sampleConfiguration(std::string description = "Zorvane") {
    FilterConfiguration configuration;
    configuration.enabled = true;
    configuration.localizedDescription = std::move(description);
    configuration.providerConfiguration = FilterConfiguration::ProviderConfiguration{
        true, "dev.quillmoor.Zorvane.FilterExtension",
        PlistDictionary{
            {"blockedCodeIdentities", PlistArray{"VEVBTQ==.Y29tLmV4YW1wbGU="}},
            {"temporaryAllowedCodeIdentities", PlistDictionary{{"a.b", 1.8e9}}},
            {"eventChannelPort", std::int64_t{5000}},
        }};
    return configuration;
}

void writeRaw(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class FilterConfigurationFileTest : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    FilterConfigurationFile file = FilterConfigurationFile::inDirectory(directory.path());
};

TEST_F(FilterConfigurationFileTest, RoundTripsEveryShapeAndLeavesNoTemporaryFiles) {
    EXPECT_EQ(file.path(), directory / "filter-configuration.plist");
    FilterConfiguration withoutVendor = sampleConfiguration();
    withoutVendor.providerConfiguration->vendorConfiguration.reset();
    FilterConfiguration withoutProvider;
    withoutProvider.localizedDescription = "off";

    for (const auto& configuration : {sampleConfiguration(), withoutVendor, withoutProvider}) {
        ASSERT_FALSE(file.write(configuration).has_value());
        EXPECT_EQ(file.read(), configuration);
    }
    // XML, as the contract says, and nothing but the file and its lock file remain.
    std::ifstream in(file.path());
    std::string head(5, '\0');
    in.read(head.data(), 5);
    EXPECT_EQ(head, "<?xml");
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, (std::set<std::string>{"filter-configuration.plist",
                                            "filter-configuration.plist.lock"}));

    ASSERT_FALSE(file.remove().has_value());
    EXPECT_FALSE(file.read().has_value());
    EXPECT_FALSE(file.remove().has_value()); // removing nothing is fine
}

TEST_F(FilterConfigurationFileTest, MissingKeysTakeDefaultsAndUnknownKeysAreIgnored) {
    writeRaw(file.path(), PlistCodec::toXml(PlistDictionary{
                              {"enabled", true},
                              {"somethingNew", "ignored"},
                              {"providerConfiguration",
                               PlistDictionary{{"vendorConfiguration", PlistDictionary{}}}}}));
    const auto read = file.read();
    ASSERT_TRUE(read.has_value());
    EXPECT_TRUE(read->enabled);
    EXPECT_EQ(read->localizedDescription, "");
    ASSERT_TRUE(read->providerConfiguration.has_value());
    EXPECT_FALSE(read->providerConfiguration->filterSockets);
    ASSERT_NE(read->vendorConfiguration(), nullptr);
    EXPECT_TRUE(read->vendorConfiguration()->empty());
}

TEST_F(FilterConfigurationFileTest, MissingGarbageTruncatedAndWronglyTypedFilesAreNoConfiguration) {
    EXPECT_FALSE(file.read().has_value()); // missing

    const std::string valid =
        PlistCodec::toXml(FilterConfigurationFile::toPlist(sampleConfiguration()));
    const std::vector<std::string> broken = {
        "",
        "not a property list at all \x01\x02\xff",
        valid.substr(0, valid.size() / 2), // a writer that died half way
        PlistCodec::toXml(PlistArray{true}),
        PlistCodec::toXml(PlistDictionary{{"enabled", "yes"}}),
        PlistCodec::toXml(PlistDictionary{{"localizedDescription", std::int64_t{1}}}),
        PlistCodec::toXml(PlistDictionary{{"providerConfiguration", PlistArray{}}}),
        PlistCodec::toXml(PlistDictionary{
            {"providerConfiguration", PlistDictionary{{"filterSockets", std::int64_t{1}}}}}),
        PlistCodec::toXml(PlistDictionary{
            {"providerConfiguration",
             PlistDictionary{{"filterDataProviderBundleIdentifier", PlistArray{}}}}}),
        PlistCodec::toXml(PlistDictionary{
            {"providerConfiguration", PlistDictionary{{"vendorConfiguration", "x"}}}}),
    };
    for (const auto& bytes : broken) {
        writeRaw(file.path(), bytes);
        EXPECT_FALSE(file.read().has_value()) << bytes;
    }
    // A directory where the file should be is no configuration either, and cannot be replaced.
    std::filesystem::remove(file.path());
    std::filesystem::create_directory(file.path());
    EXPECT_FALSE(file.read().has_value());
    EXPECT_EQ(file.write(sampleConfiguration()),
              FilterConfigurationFile::WriteError::replaceFailed);
}

TEST_F(FilterConfigurationFileTest, ReadersSeeTheOldOrTheNewConfigurationNeverAMixture) {
    const auto first = sampleConfiguration("first");
    // The second is large, so that a non-atomic write would be seen half done.
    auto second = sampleConfiguration("second");
    PlistArray many;
    for (int i = 0; i < 5000; ++i) {
        many.emplace_back("key-" + std::to_string(i));
    }
    second.providerConfiguration->vendorConfiguration->insert_or_assign("blockedCodeIdentities",
                                                                        many);
    ASSERT_FALSE(file.write(first).has_value());

    std::atomic<bool> done = false;
    std::atomic<int> reads = 0;
    std::atomic<int> mixtures = 0;
    std::thread reader([&] {
        while (!done) {
            const auto read = file.read();
            if (!read || (*read != first && *read != second)) {
                ++mixtures;
            }
            ++reads;
        }
    });
    // Two writers at once: the lock keeps their temporary files and renames apart.
    std::thread otherWriter([&] {
        for (int i = 0; i < 20; ++i) {
            EXPECT_FALSE(file.write(i % 2 ? first : second).has_value());
        }
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(file.write(i % 2 ? second : first).has_value());
    }
    otherWriter.join();
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(mixtures.load(), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path()), {}), 2);
}

TEST(FileLock, IsExclusiveBetweenOpenFilesAndReleasedWithTheObject) {
    TemporaryDirectory directory;
    const auto path = directory / "x.lock";
    EXPECT_FALSE(FileLock::isHeld(path));
    EXPECT_FALSE(std::filesystem::exists(path)); // asking never creates it
    {
        auto held = FileLock::acquire(path, FileLock::Wait::failIfHeld);
        ASSERT_TRUE(held.has_value());
        EXPECT_TRUE(FileLock::isHeld(path));
        EXPECT_FALSE(FileLock::acquire(path, FileLock::Wait::failIfHeld).has_value());
        auto moved = std::move(*held);
        EXPECT_TRUE(FileLock::isHeld(path));
    }
    EXPECT_FALSE(FileLock::isHeld(path));
    EXPECT_TRUE(FileLock::acquire(path, FileLock::Wait::failIfHeld).has_value());
}

TEST(SystemDirectory, FollowsTheEnvironment) {
    ::setenv("ZORVANE_SYSTEM_DIR", "/somewhere/system", 1);
    EXPECT_EQ(SystemDirectory::path(), std::filesystem::path("/somewhere/system"));
    ::setenv("ZORVANE_SYSTEM_DIR", "", 1);
    ::setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(SystemDirectory::path(), std::filesystem::path("/state/zorvane/system"));
    ::setenv("XDG_STATE_HOME", "relative/state", 1); // invalid by the XDG rules: ignored
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(SystemDirectory::path(),
              std::filesystem::path("/home/someone/.local/state/zorvane/system"));
    ::unsetenv("XDG_STATE_HOME");
    ::unsetenv("ZORVANE_SYSTEM_DIR");
    EXPECT_EQ(SystemDirectory::path(),
              std::filesystem::path("/home/someone/.local/state/zorvane/system"));

    TemporaryDirectory directory;
    EXPECT_TRUE(SystemDirectory::ensureExists(directory / "a" / "b"));
    EXPECT_EQ(std::filesystem::status(directory / "a" / "b").permissions(),
              std::filesystem::perms::owner_all);
}

// The installed programs take the service's state directory only when they run from the tree.
TEST(InstalledTree, HoldsOnlyWhatLiesInsideThePrefix) {
    const auto prefix = InstalledTree::prefix();
    EXPECT_TRUE(InstalledTree::holds(prefix / "Zorvane.app" / "Contents" / "MacOS" / "Zorvane"));
    EXPECT_TRUE(InstalledTree::holds(prefix / "bin" / "zorvane-system"));
    EXPECT_FALSE(InstalledTree::holds(prefix.string() + "-old/bin/zorvane-system"));
    EXPECT_FALSE(InstalledTree::holds(prefix / ".." / "elsewhere" / "zorvane-system"));
    EXPECT_FALSE(InstalledTree::holds("bin/zorvane-system"));
    // The tests themselves do not run from it, so their defaults are the development ones.
    EXPECT_FALSE(InstalledTree::runsFromIt());
}

} // namespace
} // namespace zorvane
