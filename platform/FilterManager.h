#pragma once

#include "platform/FilterConfiguration.h"
#include "platform/SystemError.h"

#include <functional>
#include <optional>

namespace zorvane {

// The system's preferences of the content filter: the one stored filter configuration of this
// application, loaded and saved as a whole. Completions run on any thread, possibly before the
// call returns; callers hop to their own thread before touching their state.
class FilterManager {
public:
    struct LoadResult {
        // Empty without an error: nothing is stored yet.
        std::optional<FilterConfiguration> configuration;
        std::optional<SystemError> error;
    };

    virtual ~FilterManager() = default;

    virtual void load(std::function<void(LoadResult)> completion) = 0;
    // Replaces the stored configuration; empty on success. A failed save leaves the stored
    // configuration as it was.
    virtual void save(FilterConfiguration configuration,
                      std::function<void(std::optional<SystemError>)> completion) = 0;
};

} // namespace zorvane
