#include "app/store/LinuxApplicationInspector.h"

#include "app/store/ApplicationInspector.h"
#include "app/store/ExecLine.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/support/TestFifo.h"

#include <fstream>
#include <gtest/gtest.h>

namespace zorvane {
namespace {
namespace fs = std::filesystem;
using Error = ApplicationInspectionError;

enum class Elf { fixedProgram, pieProgram, sharedLibrary };

// A 64-bit little-endian ELF header with one program header: enough for the kind test, which
// reads the type and looks for the interpreter segment.
std::string elfBytes(Elf kind) {
    std::string bytes(64 + 56, '\0');
    const auto put = [&](std::size_t at, std::uint64_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
        }
    };
    bytes.replace(0, 7,
                  "\x7f"
                  "ELF\x02\x01\x01");
    put(16, kind == Elf::fixedProgram ? 2 : 3, 2);
    put(18, 62, 2);
    put(32, 64, 8);                              // program headers right after the header
    put(54, 56, 2);                              // their size
    put(56, 1, 2);                               // and count
    put(64, kind == Elf::pieProgram ? 3 : 1, 4); // PT_INTERP, or PT_LOAD
    return bytes;
}

class LinuxInspectionTest : public ::testing::Test {
protected:
    LinuxInspectionTest() {
        environment.searchPath = (dir / "bin").string() + ":relative/bin";
        environment.home = dir / "home";
        environment.dataDirectories = {dir / "home/.local/share", dir / "share"};
        environment.locale = "de_DE.UTF-8";
        fs::create_directories(dir / "bin");
        fs::create_directories(dir / "share/applications");
    }

    fs::path write(const fs::path& path, const std::string& bytes, fs::perms perms) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        fs::permissions(path, perms);
        return path;
    }
    fs::path program(const fs::path& path, Elf kind = Elf::pieProgram) {
        return write(path, elfBytes(kind), fs::perms::owner_all);
    }
    fs::path entry(const std::string& name, const std::string& body) {
        return write(dir / "share/applications" / name,
                     "[Desktop Entry]\nType=Application\n" + body,
                     fs::perms::owner_read | fs::perms::owner_write);
    }

    LinuxApplicationInspector::Result inspect(const fs::path& path) const {
        const LinuxApplicationInspector inspector(
            environment, [this](const fs::path& icon) -> std::optional<std::vector<std::uint8_t>> {
                renderedIcons.push_back(icon);
                // Stands in for an SVG that this machine cannot draw.
                if (icon.extension() == ".svg") {
                    return std::nullopt;
                }
                return std::vector<std::uint8_t>{1, 2, 3};
            });
        return inspector.inspect(path, id);
    }
    BlockedApplication inspectOk(const fs::path& path) const {
        auto result = inspect(path);
        if (const auto* error = std::get_if<Error>(&result)) {
            ADD_FAILURE() << "refused: " << description(*error);
            return {};
        }
        return std::get<BlockedApplication>(result);
    }
    std::optional<Error> refusal(const fs::path& path) const {
        auto result = inspect(path);
        if (const auto* error = std::get_if<Error>(&result)) {
            return *error;
        }
        return std::nullopt;
    }

    TemporaryDirectory dir;
    DesktopEnvironment environment;
    Uuid id = Uuid::random();
    mutable std::vector<fs::path> renderedIcons;
};

// MARK: desktop entries

TEST_F(LinuxInspectionTest, DesktopEntryBecomesTheCanonicalProgramWithItsOwnDirectorysHelpers) {
    const auto editor = program(dir / "opt/editor/editor");
    program(dir / "opt/editor/crash-reporter");
    program(dir / "opt/editor/updater", Elf::fixedProgram);
    program(dir / "opt/editor/libeditor.so", Elf::sharedLibrary); // a library, not a program
    write(dir / "opt/editor/run.sh", "#!/bin/sh\n", fs::perms::owner_all);
    write(dir / "opt/editor/data.elf", elfBytes(Elf::pieProgram), fs::perms::owner_read);
    fs::create_symlink(dir / "opt/editor/editor", dir / "bin/editor");
    // The theme's SVG cannot be drawn here, so the PNG further down the list is taken.
    write(dir / "share/icons/hicolor/scalable/apps/editor.svg", "<svg/>", fs::perms::owner_read);
    const auto png =
        write(dir / "share/icons/hicolor/48x48/apps/editor.png", "png", fs::perms::owner_read);

    const auto desktop = entry("vendor/editor.desktop",
                               "Name=Editor\nName[de]=Bearbeiter\nName[fr]=Éditeur\n"
                               "TryExec=editor\nIcon=editor\n"
                               "Exec=env GDK_BACKEND=x11 -u DISPLAY editor --new-window %U\n");
    const auto application = inspectOk(desktop);

    const auto canonical = fs::canonical(editor).string();
    EXPECT_EQ(application.signingIdentifier, canonical);
    EXPECT_FALSE(application.teamIdentifier);
    EXPECT_EQ(application.bundleIdentifier, "vendor-editor.desktop");
    EXPECT_EQ(application.name, "Bearbeiter");
    EXPECT_EQ(application.path, desktop.string());
    EXPECT_EQ(application.inspectionVersion, ApplicationInspector::currentInspectionVersion);
    const auto folder = fs::canonical(dir / "opt/editor");
    EXPECT_EQ(application.auxiliaryCodeIdentities,
              (std::vector<CodeIdentity>{
                  CodeIdentity::make((folder / "crash-reporter").string(), std::nullopt),
                  CodeIdentity::make((folder / "updater").string(), std::nullopt)}));
    EXPECT_EQ(application.iconData, (std::vector<std::uint8_t>{1, 2, 3}));
    ASSERT_FALSE(renderedIcons.empty());
    EXPECT_EQ(renderedIcons.back(), png);
    // The filter blocks the helpers too, though they have no team.
    EXPECT_EQ(application.blockingCodeIdentities().size(), 3u);
}

TEST_F(LinuxInspectionTest, ExecLinesAreSplitAsALauncherWouldRunThem) {
    const auto split =
        ExecLine::split(R"("/opt/my app/run" --title=%c "a \"b\" \\c" %f 100%% -x%u)");
    ASSERT_TRUE(split);
    EXPECT_EQ(*split, (std::vector<std::string>{"/opt/my app/run", "--title=", "a \"b\" \\c",
                                                "100%", "-x"}));
    EXPECT_FALSE(ExecLine::split(R"(run "open)"));

    // The quoted program name of an entry, after the key-file escapes (\s) are resolved.
    const auto spaced = program(dir / "opt/my app/my app");
    const auto application =
        inspectOk(entry("spaced.desktop", "Name=Spaced\nExec=\"" + dir.path().string() +
                                              "/opt/my\\sapp/my app\" %F\n"));
    EXPECT_EQ(application.signingIdentifier, fs::canonical(spaced).string());
    // No translation for the language: the plain name.
    EXPECT_EQ(application.name, "Spaced");
}

TEST_F(LinuxInspectionTest, ScriptsAndInterpretersAreRefusedWithTheReason) {
    program(dir / "bin/python3.11");
    fs::create_symlink("python3.11", dir / "bin/python3");
    EXPECT_EQ(refusal(entry("tool.desktop", "Exec=python3 /opt/tool/main.py\n")),
              Error::interpretedProgram);
    write(dir / "bin/launcher", "#!/usr/bin/env bash\nexec tool\n", fs::perms::owner_all);
    EXPECT_EQ(refusal(entry("launcher.desktop", "Exec=launcher %u\n")), Error::interpretedProgram);
    EXPECT_NE(description(Error::interpretedProgram).find("interpreter"), std::string_view::npos);
}

TEST_F(LinuxInspectionTest, SharedProgramFoldersGiveNoHelpers) {
    for (const char* shared :
         {"/usr/bin", "/usr/sbin", "/bin", "/usr/lib", "/usr/lib/x86_64-linux-gnu", "/usr/libexec",
          "/opt", "/usr/local/bin", "/usr/local/lib", "/home/someone", "/root"}) {
        EXPECT_TRUE(LinuxApplicationInspector::isSharedDirectory(shared, environment)) << shared;
    }
    EXPECT_TRUE(LinuxApplicationInspector::isSharedDirectory(dir / "home/.local/bin", environment));
    for (const char* own :
         {"/usr/lib/firefox-esr", "/opt/google/chrome", "/usr/local/lib/app", "/usr/libexec/app"}) {
        EXPECT_FALSE(LinuxApplicationInspector::isSharedDirectory(own, environment)) << own;
    }
    // A program in a shared folder lists none of its neighbours.
    program(dir / "home/.local/bin/tool");
    program(dir / "home/.local/bin/other");
    const auto application = inspectOk(dir / "home/.local/bin/tool");
    EXPECT_EQ(application.auxiliaryCodeIdentities, std::vector<CodeIdentity>{});
}

// MARK: ELF programs

TEST_F(LinuxInspectionTest, ProgramIsNamedByItsFileAndIdentifiedByItsCanonicalPath) {
    const auto real = program(dir / "opt/viewer/viewer", Elf::fixedProgram);
    fs::create_symlink(real, dir / "bin/view");
    const auto application = inspectOk(dir / "bin/view");
    EXPECT_EQ(application.name, "view");
    EXPECT_EQ(application.bundleIdentifier, "view");
    EXPECT_EQ(application.signingIdentifier, fs::canonical(real).string());
    EXPECT_EQ(application.path, (dir / "bin/view").string());

    EXPECT_EQ(refusal(program(dir / "opt/lib/libx.so", Elf::sharedLibrary)), Error::notAProgram);
    EXPECT_EQ(refusal(write(dir / "notes.txt", "text", fs::perms::owner_read)),
              Error::notAnApplication);
    EXPECT_EQ(refusal(dir / "opt"), Error::notAnApplication);
}

// MARK: Flatpak applications

TEST_F(LinuxInspectionTest, FlatpakEntryIsIdentifiedByItsApplicationId) {
    const auto exported =
        entry("org.example.Maps.desktop",
              "Name=Maps\nIcon=org.example.Maps\nX-Flatpak=org.example.Maps\n"
              "Exec=/usr/bin/flatpak run --branch=stable --arch=x86_64 --command=maps "
              "org.example.Maps @@u %U @@\n");
    const auto maps = inspectOk(exported);
    EXPECT_EQ(maps.signingIdentifier, "org.example.Maps");
    EXPECT_FALSE(maps.teamIdentifier);
    EXPECT_EQ(maps.bundleIdentifier, "org.example.Maps.desktop");
    EXPECT_EQ(maps.auxiliaryCodeIdentities, std::vector<CodeIdentity>{});

    // Without the key, "flatpak run" names the application.
    const auto runOnly =
        inspectOk(entry("org.example.Notes.desktop",
                        "Name=Notes\nExec=flatpak run --branch=stable org.example.Notes\n"));
    EXPECT_EQ(runOnly.signingIdentifier, "org.example.Notes");

    EXPECT_EQ(refusal(entry("evil.desktop", "X-Flatpak=../../etc\nExec=flatpak run x\n")),
              Error::invalidDesktopEntry);
}

// MARK: entries that lie

TEST_F(LinuxInspectionTest, LyingDesktopEntriesAreRefusedWithAClearReason) {
    write(dir / "bin/notes", elfBytes(Elf::pieProgram), fs::perms::owner_read); // not executable
    fs::create_symlink("loop-b", dir / "bin/loop-a");
    fs::create_symlink("loop-a", dir / "bin/loop-b");
    fs::create_symlink("/proc/self/exe", dir / "bin/me");
    program(dir / "bin/real");

    const std::vector<std::pair<std::string, Error>> cases = {
        {"Name=No Exec\n", Error::missingProgram},
        {"Exec=\n", Error::missingProgram},
        {"Exec=/nonexistent/program\n", Error::programNotFound},
        {"Exec=missing-everywhere\n", Error::programNotFound},
        {"Exec=real\nTryExec=not-installed\n", Error::programNotFound},
        {"Exec=notes\n", Error::programNotExecutable},
        {"Exec=loop-a\n", Error::programPathUnusable},
        {"Exec=/proc/self/exe\n", Error::programPathUnusable},
        {"Exec=me\n", Error::programPathUnusable},
        {"Exec=\"real\n", Error::invalidDesktopEntry},
        {"Exec=real\nName=\xc3\x28\n", Error::invalidDesktopEntry},
        {"Exec=real\nthis line is no key\n", Error::invalidDesktopEntry},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        EXPECT_EQ(refusal(entry("case" + std::to_string(i) + ".desktop", cases[i].first)),
                  cases[i].second);
    }
    EXPECT_EQ(refusal(write(dir / "share/applications/link.desktop",
                            "[Desktop Entry]\nType=Link\nURL=https://example.com\n",
                            fs::perms::owner_read)),
              Error::invalidDesktopEntry);
    EXPECT_EQ(refusal(entry("huge.desktop", "Exec=real\nComment=" + std::string(1 << 20, 'x'))),
              Error::desktopEntryTooLarge);

    const TestFifo fifo(dir / "share/applications/fifo.desktop");
    std::optional<Error> fifoRefusal;
    EXPECT_TRUE(TestFifo::finishesPromptly([&] { fifoRefusal = refusal(fifo.path()); }, {&fifo}));
    EXPECT_EQ(fifoRefusal, Error::unreadableDesktopEntry);
}

} // namespace
} // namespace zorvane
