#include "app/store/ActivityLog.h"

#include "StoreFixtures.h"
#include "platform/linux/AtomicFile.h"
#include "shared/RecordJson.h"
#include "tests/support/TemporaryDirectory.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zorvane {
namespace {
using namespace fixtures;
namespace fs = std::filesystem;

class ActivityLogTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(start);
    TemporaryDirectory container;
    ActivityLog log{container.path(), clock};

    fs::path fileNamed(std::string_view name) const {
        return container.path() / "Library" / "Application Support" / "Zorvane" / name;
    }
    static std::string contents(const fs::path& path) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
};

TEST_F(ActivityLogTest, TwoEnvelopesWithTheSameAggregateStoreOneSummedEvent) {
    auto first = event("com.example", "TEAM123456", start.addingSeconds(-50.0), 3);
    first.firstSeenAt = start.addingSeconds(-60.0);
    auto second = event("com.example", "TEAM123456", start.addingSeconds(-5.0), 4);
    second.firstSeenAt = start.addingSeconds(-30.0);
    second.destinationPort = "443";
    auto observed = observation("com.example", "TEAM123456", start.addingSeconds(-5.0));

    log.persistEnvelopeContents({first}, {observed});
    log.persistEnvelopeContents({second}, {observed});

    const auto events = log.loadEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].blockedConnectionCount, 7);
    EXPECT_EQ(events[0].firstSeenAt, start.addingSeconds(-60.0));
    EXPECT_EQ(events[0].lastSeenAt, start.addingSeconds(-5.0));
    const auto observations = log.loadObservations();
    ASSERT_EQ(observations.size(), 1u);
    EXPECT_EQ(observations[0].connectionCount, 2);
    // The files are the compact JSON arrays of the records.
    EXPECT_EQ(RecordJson::decodeActivityEvents(contents(fileNamed(ActivityLog::activityFileName))),
              events);
}

TEST_F(ActivityLogTest, OldRecordsLeaveAtTheNextMergeButIncomingOnesAreKeptUntilLoaded) {
    const double day = 86400.0;
    const auto stale = event("com.stale", "TEAM123456", start.addingSeconds(-31 * day));
    const auto edge = event("com.edge", "TEAM123456", start.addingSeconds(-30 * day));
    log.mergeEvents({stale, edge}); // incoming: both stored whatever their age
    EXPECT_EQ(RecordJson::decodeActivityEvents(contents(fileNamed(ActivityLog::activityFileName)))
                  ->size(),
              2u);
    // A load keeps what is at or after the window's start.
    EXPECT_EQ(log.loadEvents(), std::vector<NetworkActivityEvent>{edge});

    log.mergeEvents({event("com.fresh", "TEAM123456", start)});
    const auto stored =
        RecordJson::decodeActivityEvents(contents(fileNamed(ActivityLog::activityFileName)));
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 2u);
    EXPECT_EQ((*stored)[0].processSigningIdentifier, "com.fresh");
    EXPECT_EQ((*stored)[1].processSigningIdentifier, "com.edge");

    clock->advance(1.0); // now the edge one is outside as well
    EXPECT_EQ(log.loadEvents().size(), 1u);
}

TEST_F(ActivityLogTest, CapsKeepTheLatestRecords) {
    std::vector<NetworkActivityEvent> events;
    for (int index = 0; index < 1001; ++index) {
        events.push_back(event("com.example", "TEAM123456", start.addingSeconds(-1001 + index), 1,
                               "host" + std::to_string(index)));
    }
    log.mergeEvents(events);
    const auto stored = log.loadEvents();
    ASSERT_EQ(stored.size(), 1000u);
    EXPECT_EQ(stored.front().destinationHost, "host1000");
    EXPECT_EQ(stored.back().destinationHost, "host1"); // host0, the oldest, is gone

    for (int index = 0; index < 257; ++index) {
        log.mergeObservation(observation("com.helper" + std::to_string(index), "TEAM123456",
                                         start.addingSeconds(-257 + index)));
    }
    const auto observations = log.loadObservations();
    ASSERT_EQ(observations.size(), 256u);
    EXPECT_EQ(observations.back().signingIdentifier, "com.helper1");
}

TEST_F(ActivityLogTest, AnUndecodableFileReadsAsEmptyAndIsReplacedByTheNextMerge) {
    ASSERT_TRUE(log.fileLocation(ActivityLog::discoveriesFileName));
    std::ofstream(fileNamed(ActivityLog::discoveriesFileName)) << "[{\"signingIdentifier\": 1}";
    EXPECT_TRUE(log.loadObservations().empty());

    const auto observed = observation("com.example", "TEAM123456", start);
    log.mergeObservation(observed);
    EXPECT_EQ(log.loadObservations(), std::vector<DiscoveredNetworkProcess>{observed});
}

TEST(ActivityLog, WithoutAContainerNothingIsReadOrWritten) {
    const ActivityLog log(std::nullopt, std::make_shared<ManualClock>(start));
    log.persistEnvelopeContents({event("com.example", "TEAM123456", start)},
                                {observation("com.example", "TEAM123456", start)});
    EXPECT_FALSE(log.fileLocation(ActivityLog::activityFileName));
    EXPECT_TRUE(log.loadEvents().empty());
}

TEST_F(ActivityLogTest, ConcurrentMergesNeverLoseAnEnvelope) {
    // Two logs over the same container stand for the window process and a second writer; the
    // file lock must make each read-merge-write one step.
    const ActivityLog other(container.path(), clock);
    constexpr int rounds = 40;
    auto writer = [&](const ActivityLog& target) {
        for (int round = 0; round < rounds; ++round) {
            target.mergeEvents({event("com.example", "TEAM123456", start)});
        }
    };
    std::thread first(writer, std::cref(log));
    std::thread second(writer, std::cref(other));
    first.join();
    second.join();
    const auto events = log.loadEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].blockedConnectionCount, 2 * rounds);
}

TEST_F(ActivityLogTest, AWriterKilledDuringAMergeLeavesAWholeFile) {
    const fs::path activityFile = fileNamed(ActivityLog::activityFileName);
    for (int run = 0; run < 40; ++run) {
        int output[2];
        ASSERT_EQ(::pipe(output), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, output[0]);
        const std::string program = ACTIVITY_LOG_MERGE_CHILD;
        const std::string directory = container.path().string();
        char* arguments[] = {const_cast<char*>(program.c_str()),
                             const_cast<char*>(directory.c_str()), nullptr};
        pid_t child = 0;
        ASSERT_EQ(::posix_spawn(&child, program.c_str(), &actions, nullptr, arguments, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(output[1]);

        // Let it finish a few merges, then kill it at a point that moves through the next
        // one from run to run: reading, merging, writing or renaming.
        for (int done = 0; done < 3; ++done) {
            char tick = 0;
            ASSERT_EQ(::read(output[0], &tick, 1), 1) << "the merging child stopped early";
        }
        ::usleep(static_cast<useconds_t>((run * 733) % 12000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(output[0]);
        ASSERT_TRUE(WIFSIGNALED(status));

        const auto stored = RecordJson::decodeActivityEvents(contents(activityFile));
        ASSERT_TRUE(stored) << "torn file after run " << run;
        EXPECT_GE(stored->size(), 50u);
        EXPECT_LE(stored->size(), ActivityLog::eventLimit);
    }
    // The lock died with its holder, and the next merge clears what the killed writers left.
    log.mergeEvents({event("com.after", "TEAM123456", start.addingSeconds(1000.0))});
    EXPECT_EQ(log.loadEvents().front().processSigningIdentifier, "com.after");
    for (const auto& entry : fs::directory_iterator(activityFile.parent_path())) {
        EXPECT_FALSE(AtomicFile::isTemporaryOf(activityFile, entry.path())) << entry.path();
    }
}

} // namespace
} // namespace zorvane
