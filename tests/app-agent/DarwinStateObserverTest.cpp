#include "app/agent/DarwinStateObserver.h"

#include "MemoryPreferences.h"
#include "app/agent/StateChange.h"
#include "app/agent/StateNotificationNames.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <thread>

namespace zorvane {
namespace {

// Delivers synchronously, from whichever thread calls fire(), as a system centre's callback
// would; records posts.
class FakeStateNotifications final : public StateNotifications {
public:
    class FakeRegistration final : public Registration {
    public:
        FakeRegistration(FakeStateNotifications& owner, int id) : owner_(owner), id_(id) {}
        ~FakeRegistration() override {
            std::lock_guard lock(owner_.mutex_);
            owner_.handlers_.erase(id_);
        }

    private:
        FakeStateNotifications& owner_;
        int id_;
    };

    void post(const std::string& name) override {
        std::lock_guard lock(mutex_);
        log.push_back("post " + name);
    }
    std::unique_ptr<Registration> observe(const std::string& name,
                                          std::function<void()> handler) override {
        std::lock_guard lock(mutex_);
        handlers_.emplace(++nextId_, std::make_pair(name, std::move(handler)));
        return std::make_unique<FakeRegistration>(*this, nextId_);
    }
    void fire(const std::string& name) {
        std::vector<std::function<void()>> matching;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, entry] : handlers_) {
                if (entry.first == name) {
                    matching.push_back(entry.second);
                }
            }
        }
        for (const auto& handler : matching) {
            handler();
        }
    }
    std::size_t observerCount() {
        std::lock_guard lock(mutex_);
        return handlers_.size();
    }

    std::vector<std::string> log;

private:
    std::mutex mutex_;
    int nextId_ = 0;
    std::map<int, std::pair<std::string, std::function<void()>>> handlers_;
};

constexpr const char* agentName = StateNotificationNames::agentStateDidChange;

TEST(DarwinStateObserver, HandlersRunLaterOnTheMainThreadWhateverThreadNotifies) {
    FakeStateNotifications center;
    std::vector<QThread*> threads;
    DarwinStateObserver observer(center, agentName,
                                 [&] { threads.push_back(QThread::currentThread()); });
    EXPECT_EQ(observer.name(), agentName);

    center.fire(agentName);
    EXPECT_TRUE(threads.empty()); // never inside the centre's callback
    std::thread([&] { center.fire(agentName); }).join();
    center.fire(StateNotificationNames::mainStateDidChange); // not observed
    EXPECT_TRUE(QTest::qWaitFor([&] { return threads.size() == 2; }, 5000));
    QCoreApplication::processEvents();
    ASSERT_EQ(threads.size(), 2u);
    for (QThread* thread : threads) {
        EXPECT_EQ(thread, QCoreApplication::instance()->thread());
    }
}

TEST(DarwinStateObserver, DestroyingTheObserverUnregistersAndDropsQueuedDeliveries) {
    FakeStateNotifications center;
    int calls = 0;
    auto observer = std::make_unique<DarwinStateObserver>(center, agentName, [&] { ++calls; });
    EXPECT_EQ(center.observerCount(), 1u);
    center.fire(agentName); // queued, not yet run
    observer.reset();
    EXPECT_EQ(center.observerCount(), 0u);
    center.fire(agentName);
    QTest::qWait(50);
    EXPECT_EQ(calls, 0);
}

TEST(PostStateChange, SavesPreferencesThenPostsTheNameOfTheSource) {
    const std::pair<const char*, const char*> cases[] = {
        {"agent", StateNotificationNames::agentStateDidChange},
        {"main", StateNotificationNames::mainStateDidChange},
        {"agent ", StateNotificationNames::mainStateDidChange},
        {"", StateNotificationNames::mainStateDidChange},
    };
    for (const auto& [source, expected] : cases) {
        FakeStateNotifications center;
        testing::MemoryPreferences preferences;
        preferences.onSynchronize = [&] { center.log.push_back("synchronize"); };
        postStateChange(preferences, center, source);
        EXPECT_EQ(center.log,
                  (std::vector<std::string>{"synchronize", std::string("post ") + expected}))
            << source;
    }
    FakeStateNotifications center;
    StateChange::requestOpenMainWindow(center);
    EXPECT_EQ(center.log, std::vector<std::string>{"post dev.quillmoor.Zorvane.openMainWindow"});
}

} // namespace
} // namespace zorvane
