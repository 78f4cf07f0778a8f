#pragma once

#include "app/filter-control/DelayScheduler.h"
#include "platform/FilterManager.h"
#include "platform/MainBundle.h"
#include "platform/SystemExtensionActivator.h"

#include <QCoreApplication>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

namespace zorvane::testing {

// The system's filter preferences in memory. Answers at once unless told to hold the answers,
// which the test then releases in the order it chooses.
class FakeFilterManager final : public FilterManager {
public:
    std::optional<FilterConfiguration> stored;
    std::optional<SystemError> loadError;
    // One entry per save, consumed in order; a save without an entry succeeds.
    std::deque<std::optional<SystemError>> saveErrors;
    bool holdAnswers = false;
    std::vector<std::function<void()>> held;
    std::vector<FilterConfiguration> saves; // every configuration handed to save
    int loads = 0;

    void load(std::function<void(LoadResult)> completion) override {
        ++loads;
        answer([this, completion] {
            completion(loadError ? LoadResult{std::nullopt, loadError}
                                 : LoadResult{stored, std::nullopt});
        });
    }

    void save(FilterConfiguration configuration,
              std::function<void(std::optional<SystemError>)> completion) override {
        saves.push_back(configuration);
        std::optional<SystemError> error;
        if (!saveErrors.empty()) {
            error = saveErrors.front();
            saveErrors.pop_front();
        }
        answer([this, configuration, error, completion] {
            if (!error) {
                stored = configuration;
            }
            completion(error);
        });
    }

    void release(std::size_t index) {
        auto answer = std::move(held.at(index));
        held.erase(held.begin() + static_cast<std::ptrdiff_t>(index));
        answer();
    }

private:
    void answer(std::function<void()> work) {
        if (holdAnswers) {
            held.push_back(std::move(work));
        } else {
            work();
        }
    }
};

class FakeActivator final : public SystemExtensionActivator {
public:
    struct Submitted {
        SystemExtensionRequest request;
        std::shared_ptr<SystemExtensionRequestDelegate> delegate;
    };
    std::vector<Submitted> submitted;

    void submit(const SystemExtensionRequest& request,
                std::shared_ptr<SystemExtensionRequestDelegate> delegate) override {
        submitted.push_back({request, std::move(delegate)});
    }

    void needsApproval(std::size_t index = 0) {
        submitted.at(index).delegate->requestNeedsUserApproval(submitted.at(index).request);
    }
    void finish(SystemExtensionRequestResult result, std::size_t index = 0) {
        submitted.at(index).delegate->requestDidFinish(submitted.at(index).request, result);
    }
    void fail(SystemError error, std::size_t index = 0) {
        submitted.at(index).delegate->requestDidFail(submitted.at(index).request, error);
    }
};

class FakeMainBundle final : public MainBundle {
public:
    std::optional<std::string> bundleIdentifier = "dev.quillmoor.Zorvane";
    bool inApplications = true;
    std::optional<std::string> shortVersionString = "1.0";
    std::optional<std::string> bundleVersion = "1";

    std::optional<std::string> identifier() const override { return bundleIdentifier; }
    std::optional<std::string> shortVersion() const override { return shortVersionString; }
    std::optional<std::string> buildVersion() const override { return bundleVersion; }
    std::filesystem::path url() const override { return "/Applications/Zorvane.app"; }
    bool isInApplicationsFolder() const override { return inApplications; }
};

// Delayed work that runs when the test says so.
class ManualScheduler final : public DelayScheduler {
public:
    struct Entry {
        std::chrono::milliseconds delay;
        QPointer<QObject> context;
        std::function<void()> work;
    };
    std::vector<Entry> entries;
    std::vector<std::chrono::milliseconds> delays; // every delay ever asked for

    void schedule(std::chrono::milliseconds delay, QObject* context,
                  std::function<void()> work) override {
        delays.push_back(delay);
        entries.push_back({delay, context, std::move(work)});
    }

    // Runs what is due now (all of it), as the timers would once their time has come.
    void runAll() {
        auto due = std::move(entries);
        entries.clear();
        for (auto& entry : due) {
            if (entry.context) {
                entry.work();
            }
        }
    }
};

// Delivers everything that was posted to the main thread, including what that posts in turn.
inline void settle() {
    for (int round = 0; round < 50; ++round) {
        QCoreApplication::sendPostedEvents();
    }
}

// Collects the lines logged to one category while it lives.
class LogCapture {
public:
    explicit LogCapture(const char* category) {
        category_ = category;
        lines_ = &lines;
        previous_ = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() {
        qInstallMessageHandler(previous_);
        lines_ = nullptr;
    }

    QStringList lines;

    bool contains(const QString& text) const { return lines.contains(text); }

private:
    static void handle(QtMsgType, const QMessageLogContext& context, const QString& message) {
        if (lines_ && context.category && qstrcmp(context.category, category_) == 0) {
            lines_->append(message);
        }
    }

    static inline const char* category_ = nullptr;
    static inline QStringList* lines_ = nullptr;
    QtMessageHandler previous_ = nullptr;
};

} // namespace zorvane::testing
