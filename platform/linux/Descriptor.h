#pragma once

#include <unistd.h>
#include <utility>

namespace zorvane {

// Owns one file descriptor and closes it when it goes; -1 owns nothing.
class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return descriptor_; }
    // Hands the descriptor over; nothing is closed any more.
    int release() { return std::exchange(descriptor_, -1); }

private:
    int descriptor_;
};

} // namespace zorvane
