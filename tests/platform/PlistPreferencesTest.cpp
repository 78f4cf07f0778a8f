#include "platform/linux/PlistPreferences.h"

#include "shared/PlistCodec.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <thread>
#include <unistd.h>

namespace zorvane {
namespace {

namespace fs = std::filesystem;

class PlistPreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zorvane-prefs-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        file_ = dir_ / "sub" / "dev.quillmoor.Zorvane.plist";
    }
    void TearDown() override { fs::remove_all(dir_); }

    static void writeFile(const fs::path& path, const std::string& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }

    fs::path dir_;
    fs::path file_;
};

TEST_F(PlistPreferencesTest, ChangesArePendingUntilSynchronizedThenReadByAnotherInstance) {
    PlistPreferences writer(file_);
    writer.setValue("protectionRequested", true);
    writer.setValue("blockedApplications", PlistData{'[', ']'});
    EXPECT_EQ(writer.value("protectionRequested"), PlistValue(true));
    EXPECT_FALSE(fs::exists(file_));

    ASSERT_TRUE(writer.synchronize());
    PlistPreferences reader(file_);
    EXPECT_EQ(reader.value("protectionRequested"), PlistValue(true));
    EXPECT_EQ(reader.value("blockedApplications"), PlistValue(PlistData{'[', ']'}));
    EXPECT_FALSE(reader.value("missing").has_value());

    // Stored as an XML property list, and nothing else is left in the directory.
    std::ifstream in(file_);
    std::string head(5, '\0');
    in.read(head.data(), 5);
    EXPECT_EQ(head, "<?xml");
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(file_.parent_path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 2); // the preferences and their lock file
}

TEST_F(PlistPreferencesTest, TheLaterWriterOfEachKeyWinsAndOtherKeysSurvive) {
    PlistPreferences main(file_);
    PlistPreferences agent(file_);
    main.setValue("statusBarIconEnabled", true);
    main.setValue("protectionRequested", true);
    ASSERT_TRUE(main.synchronize());

    agent.setValue("protectionRequested", false);
    ASSERT_TRUE(agent.synchronize());
    EXPECT_EQ(agent.value("statusBarIconEnabled"), PlistValue(true)); // picked up on the way

    // The main process still sees its own value until it synchronizes.
    EXPECT_EQ(main.value("protectionRequested"), PlistValue(true));
    ASSERT_TRUE(main.synchronize());
    EXPECT_EQ(main.value("protectionRequested"), PlistValue(false));

    main.removeValue("statusBarIconEnabled");
    EXPECT_FALSE(main.value("statusBarIconEnabled").has_value());
    ASSERT_TRUE(main.synchronize());
    ASSERT_TRUE(agent.synchronize());
    EXPECT_FALSE(agent.value("statusBarIconEnabled").has_value());
    EXPECT_EQ(agent.value("protectionRequested"), PlistValue(false));
}

// The copies an unreadable file was moved to, beside it.
std::vector<fs::path> keptAside(const fs::path& file) {
    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        if (entry.path().filename().string().find(".unreadable-") != std::string::npos) {
            copies.push_back(entry.path());
        }
    }
    return copies;
}

std::string contentOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(PlistPreferencesTest, AnUnreadableFileIsKeptAsideAndReplacedByWhatIsKnown) {
    for (const std::string& content : {std::string("not a property list \x01\x02", 23),
                                       PlistCodec::toXml(PlistArray{"a"}), std::string()}) {
        fs::remove_all(file_.parent_path());
        writeFile(file_, content);
        PlistPreferences preferences(file_);
        EXPECT_FALSE(preferences.value("a").has_value());
        // Moved aside at once, whole, and named in the new file for whoever can tell the person.
        const auto copies = keptAside(file_);
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(contentOf(copies[0]), content);
        EXPECT_EQ(preferences.value(Preferences::unreadableFileKeptAsKey),
                  PlistValue(copies[0].string()));
        preferences.setValue("key", "value");
        ASSERT_TRUE(preferences.synchronize());
        EXPECT_EQ(PlistPreferences(file_).value("key"), PlistValue("value"));
    }
}

TEST_F(PlistPreferencesTest, AFileThatStopsParsingNeverShrinksTheSettings) {
    PlistPreferences agent(file_);
    agent.setValue("blockedApplications", PlistData{'[', ']'});
    agent.setValue("statusBarIconEnabled", false);
    ASSERT_TRUE(agent.synchronize());
    PlistPreferences main(file_);

    // Damaged between two reads: nobody's view empties, and nothing is written over it.
    writeFile(file_, "<?xml version=\"1.0\"?><plist><dict><key>blocked");
    ASSERT_TRUE(agent.synchronize());
    EXPECT_EQ(agent.value("statusBarIconEnabled"), PlistValue(false));
    const auto copies = keptAside(file_);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(contentOf(copies[0]), "<?xml version=\"1.0\"?><plist><dict><key>blocked");

    // The new file holds what the agent knew, so the other process loses nothing either.
    main.setValue("protectionRequested", true);
    ASSERT_TRUE(main.synchronize());
    EXPECT_EQ(main.value("blockedApplications"), PlistValue(PlistData{'[', ']'}));
    EXPECT_EQ(main.value("statusBarIconEnabled"), PlistValue(false));
    EXPECT_EQ(main.value(Preferences::unreadableFileKeptAsKey), PlistValue(copies[0].string()));
    EXPECT_EQ(keptAside(file_).size(), 1u);
}

TEST_F(PlistPreferencesTest, AFailedSaveKeepsTheOldFileAndTheChangesPending) {
    PlistPreferences preferences(file_);
    preferences.setValue("kept", std::int64_t{1});
    ASSERT_TRUE(preferences.synchronize());

    // Make the directory unusable: the save fails without touching the stored file.
    const fs::path moved = dir_ / "moved";
    fs::rename(file_.parent_path(), moved);
    writeFile(dir_ / "placeholder", "");
    fs::rename(dir_ / "placeholder", file_.parent_path()); // a file where the directory was
    preferences.setValue("later", std::int64_t{2});
    EXPECT_FALSE(preferences.synchronize());
    EXPECT_EQ(preferences.value("later"), PlistValue(std::int64_t{2}));
    // Told once, not at every attempt that fails the same way.
    EXPECT_TRUE(preferences.takeSaveFailure());
    EXPECT_FALSE(preferences.synchronize());
    EXPECT_FALSE(preferences.takeSaveFailure());

    fs::remove(file_.parent_path());
    fs::rename(moved, file_.parent_path());
    EXPECT_EQ(PlistPreferences(file_).value("kept"), PlistValue(std::int64_t{1}));
    ASSERT_TRUE(preferences.synchronize());
    EXPECT_EQ(PlistPreferences(file_).value("later"), PlistValue(std::int64_t{2}));
    EXPECT_FALSE(preferences.takeSaveFailure());
}

TEST_F(PlistPreferencesTest, PendingChangesAreWrittenWhenThePreferencesGoAway) {
    {
        PlistPreferences preferences(file_);
        preferences.setValue("updates.lastNotifiedVersion", "1.4-27");
    }
    EXPECT_EQ(PlistPreferences(file_).value("updates.lastNotifiedVersion"), PlistValue("1.4-27"));
}

TEST_F(PlistPreferencesTest, ConcurrentWritersOfDifferentKeysLoseNothing) {
    constexpr int rounds = 40;
    auto writer = [this](const std::string& prefix) {
        PlistPreferences preferences(file_);
        for (int i = 0; i < rounds; ++i) {
            preferences.setValue(prefix + std::to_string(i), std::int64_t{i});
            preferences.synchronize();
        }
    };
    std::thread first(writer, "a");
    std::thread second(writer, "b");
    first.join();
    second.join();
    PlistPreferences reader(file_);
    for (int i = 0; i < rounds; ++i) {
        EXPECT_EQ(reader.value("a" + std::to_string(i)), PlistValue(std::int64_t{i}));
        EXPECT_EQ(reader.value("b" + std::to_string(i)), PlistValue(std::int64_t{i}));
    }
}

TEST(PlistPreferencesDefaultFile, FollowsTheEnvironment) {
    const auto restore = [](const char* name, const char* old) {
        if (old) {
            ::setenv(name, old, 1);
        } else {
            ::unsetenv(name);
        }
    };
    const char* names[] = {"ZORVANE_PREFERENCES", "XDG_CONFIG_HOME", "HOME"};
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; ++i) {
        if (const char* v = std::getenv(names[i])) {
            saved[i] = v;
        }
    }
    ::unsetenv("ZORVANE_PREFERENCES");
    ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
    EXPECT_EQ(PlistPreferences::defaultFile(), "/xdg/zorvane/dev.quillmoor.Zorvane.plist");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(PlistPreferences::defaultFile(),
              "/home/someone/.config/zorvane/dev.quillmoor.Zorvane.plist");
    ::setenv("ZORVANE_PREFERENCES", "/elsewhere/prefs.plist", 1);
    EXPECT_EQ(PlistPreferences::defaultFile(), "/elsewhere/prefs.plist");
    for (int i = 0; i < 3; ++i) {
        restore(names[i], saved[i] ? saved[i]->c_str() : nullptr);
    }
}

} // namespace
} // namespace zorvane
