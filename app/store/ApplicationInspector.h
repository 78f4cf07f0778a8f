#pragma once

#include "app/store/ApplicationInspectionError.h"
#include "shared/BlockedApplication.h"
#include "shared/CodeIdentity.h"
#include "shared/Uuid.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

namespace zorvane {

// Turns an application bundle into a block-list entry: its identifier and name, the code
// identity of the bundle and of the helpers it carries, and a small icon. A pure, blocking
// function of the file system; callers run it off the main thread.
class ApplicationInspector {
public:
    static constexpr std::int64_t currentInspectionVersion = 5;

    using IconRenderer =
        std::function<std::optional<std::vector<std::uint8_t>>(const std::filesystem::path&)>;
    using Result = std::variant<BlockedApplication, ApplicationInspectionError>;

    // The icon renderer is injected so that this stays free of the image toolkit; without one
    // the entry has no icon.
    ApplicationInspector() = default;
    explicit ApplicationInspector(IconRenderer iconRenderer);

    Result inspect(const std::filesystem::path& bundle, const Uuid& id) const;

    // The code identity of a bundle directory (its main executable) or of a single file.
    static std::optional<CodeIdentity> readCodeIdentity(const std::filesystem::path& path);

    // Identities of the helper executables and nested bundles inside a bundle, other than the
    // main identity; sorted, without duplicates.
    static std::vector<CodeIdentity> discoverHelpers(const std::filesystem::path& bundle,
                                                     const CodeIdentity& mainIdentity);

private:
    IconRenderer iconRenderer_;
};

} // namespace zorvane
