#include "shared/UntrustedFile.h"

#include "shared/PlistCodec.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/support/TestFifo.h"

#include <fstream>
#include <gtest/gtest.h>

namespace zorvane {
namespace {
namespace fs = std::filesystem;

constexpr std::uint64_t cap = 1024 * 1024;

TEST(UntrustedFile, WhatIsNotARegularFileIsRefusedAtOnce) {
    TemporaryDirectory dir;
    const TestFifo fifo(dir / "Info.plist");
    fs::create_symlink(fifo.path(), dir / "link.plist");
    fs::create_directory(dir / "folder");

    // Nobody ever writes to the FIFO: a reader that opened or read it without O_NONBLOCK and an
    // fstat of the descriptor would wait for ever.
    const bool prompt = TestFifo::finishesPromptly(
        [&] {
            for (const fs::path& path : {fifo.path(), dir / "link.plist", dir / "folder",
                                         fs::path("/dev/zero"), fs::path("/dev/null")}) {
                const auto reading = UntrustedFile::read(path, cap);
                EXPECT_FALSE(reading.bytes) << path;
                ASSERT_TRUE(reading.error) << path;
                EXPECT_EQ(*reading.error, UntrustedFile::Error::notRegularFile) << path;
                EXPECT_EQ(UntrustedFile::describe(*reading.error), "not a regular file");
            }
            EXPECT_FALSE(PlistCodec::readFile(fifo.path()).has_value());
        },
        {&fifo});
    EXPECT_TRUE(prompt) << "a reader waited on the FIFO";

    const auto missing = UntrustedFile::read(dir / "missing.plist", cap);
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(*missing.error, UntrustedFile::Error::cannotOpen);
}

TEST(UntrustedFile, SizeIsCappedWhenOpenedAndWhileRead) {
    TemporaryDirectory dir;
    const std::string content(4096, 'x');
    std::ofstream(dir / "file", std::ios::binary) << content;

    const auto whole = UntrustedFile::read(dir / "file", content.size());
    ASSERT_TRUE(whole.bytes);
    EXPECT_EQ(*whole.bytes, content);
    const auto over = UntrustedFile::read(dir / "file", content.size() - 1);
    ASSERT_TRUE(over.error);
    EXPECT_EQ(*over.error, UntrustedFile::Error::tooLarge);

    // procfs files report a size of 0 and hold more: the cap holds for what is actually read,
    // not for what fstat said.
    const auto status = UntrustedFile::read("/proc/self/status", 16);
    ASSERT_TRUE(status.error);
    EXPECT_EQ(*status.error, UntrustedFile::Error::tooLarge);
    const auto allowed = UntrustedFile::read("/proc/self/status", cap);
    ASSERT_TRUE(allowed.bytes);
    EXPECT_NE(allowed.bytes->find("Pid:"), std::string::npos);
}

TEST(UntrustedFile, ReadsTheFileThatWasOpenedEvenWhenThePathIsReplaced) {
    TemporaryDirectory dir;
    std::ofstream(dir / "Info.plist") << "first";
    auto opening = UntrustedFile::open(dir / "Info.plist", cap);
    ASSERT_TRUE(opening.file);
    std::ofstream(dir / "other") << "second, and longer";
    fs::rename(dir / "other", dir / "Info.plist");

    const auto reading = opening.file->readAll(cap);
    ASSERT_TRUE(reading.bytes);
    EXPECT_EQ(*reading.bytes, "first");
}

} // namespace
} // namespace zorvane
