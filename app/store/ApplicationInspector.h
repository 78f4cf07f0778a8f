#pragma once

#include "app/store/ApplicationInspectionError.h"
#include "app/store/DesktopEnvironment.h"
#include "shared/BlockedApplication.h"
#include "shared/CodeIdentity.h"
#include "shared/Uuid.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

namespace zorvane {

// Turns an application bundle into a block-list entry: its identifier and name, the code
// identity of the bundle and of the helpers it carries, and a small icon. Anything else that
// is dropped or chosen (a desktop entry, a program) goes to LinuxApplicationInspector. A pure,
// blocking function of the file system; callers run it off the main thread.
class ApplicationInspector {
public:
    static constexpr std::int64_t currentInspectionVersion = 5;

    // What one application may bring into the filter configuration, which the filter refuses
    // to read beyond 4 MiB. A code identity key is both identifiers in Base64, so an identity
    // whose identifiers are at the cap takes 2,737 characters, about 2.8 KB as an XML list entry
    // and as much again as a key of the temporary allowances: 5.6 KB. The main identity and
    // the helpers at their cap, 65 identities, make about 365 KB per application even when it
    // is allowed for a while, so ten such applications still fit; ordinary identifiers of about
    // 40 bytes make it 16 KB per application. Large suites carry a few dozen distinct helpers;
    // the ones beyond the cap are still learned once the filter sees them, and a list that
    // outgrows the configuration anyway is refused with a message rather than saved.
    static constexpr std::size_t maximumIdentifierSize = 1024;
    static constexpr std::size_t maximumHelperCount = 64;
    // Bundles are a few dozen levels deep at most; deeper trees are cut off there rather than
    // walked until the descriptors or the stack run out.
    static constexpr std::size_t maximumWalkDepth = 128;

    using IconRenderer =
        std::function<std::optional<std::vector<std::uint8_t>>(const std::filesystem::path&)>;
    using Result = std::variant<BlockedApplication, ApplicationInspectionError>;

    // The icon renderer is injected so that this stays free of the image toolkit; without one
    // the entry has no icon. It is given a bundle directory or an image file. Desktop entries
    // are read in the given environment, or in the session's when there is none.
    ApplicationInspector() = default;
    explicit ApplicationInspector(IconRenderer iconRenderer,
                                  std::optional<DesktopEnvironment> environment = std::nullopt);

    Result inspect(const std::filesystem::path& bundle, const Uuid& id) const;

    // The code identity of a bundle directory (its main executable) or of a single file.
    static std::optional<CodeIdentity> readCodeIdentity(const std::filesystem::path& path);

    // Identities of the helper executables and nested bundles inside a bundle, other than the
    // main identity; sorted, without duplicates, the first maximumHelperCount of them. An
    // entry that cannot be read is skipped and the walk goes on.
    static std::vector<CodeIdentity> discoverHelpers(const std::filesystem::path& bundle,
                                                     const CodeIdentity& mainIdentity);

private:
    IconRenderer iconRenderer_;
    std::optional<DesktopEnvironment> environment_;
};

} // namespace zorvane
