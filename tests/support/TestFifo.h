#pragma once

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <initializer_list>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvane {

// A FIFO made by a test where a file is expected, and the way out for a reader that it caught:
// opening and closing the writing end lets a reader waiting in open() or read() see the end.
class TestFifo {
public:
    explicit TestFifo(std::filesystem::path path) : path_(std::move(path)) {
        std::filesystem::create_directories(path_.parent_path());
        if (::mkfifo(path_.c_str(), 0600) != 0) {
            throw std::runtime_error("mkfifo " + path_.string());
        }
    }

    const std::filesystem::path& path() const { return path_; }

    void release() const {
        const int descriptor = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }

    // Runs `work` on another thread; true when it finished within `limit`. When it did not,
    // the FIFOs are released until it finishes, so that a reader that waits on one makes the
    // test fail instead of hanging it.
    template <typename Work>
    static bool finishesPromptly(Work work, std::initializer_list<const TestFifo*> fifos,
                                 std::chrono::seconds limit = std::chrono::seconds(20)) {
        auto done = std::async(std::launch::async, std::move(work));
        if (done.wait_for(limit) == std::future_status::ready) {
            done.get();
            return true;
        }
        do {
            for (const auto* fifo : fifos) {
                fifo->release();
            }
        } while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready);
        return false;
    }

private:
    std::filesystem::path path_;
};

} // namespace zorvane
