#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace zorvane {

// Copies of the stored lists in the application group's container, beside the activity files,
// so that a person, or a later version, can bring a list back: the value as it was stored
// whenever some of its entries could not be read ("<key>.as-stored-<UTC time>.json", never
// replaced), and the last three good saves of the block list ("<key>.good-1.json" the newest to
// "<key>.good-3.json"). Without a container nothing is kept, and the keeping calls say so.
//
// Blocking file work: the store keeps its good copies on its persistence queue.
class StoredListCopies {
public:
    static constexpr std::size_t goodCopyCount = 3;

    // The copies live in <container>/Library/Application Support/Zorvane.
    explicit StoredListCopies(std::optional<std::filesystem::path> containerDirectory);
    static StoredListCopies standard();

    // A new dated copy of the stored text: its path, or nothing when it could not be written.
    std::optional<std::filesystem::path> keepAsStored(std::string_view key,
                                                      std::string_view storedText) const;

    // The text becomes the newest good copy and the older ones move one place down, the oldest
    // falling off. A text equal to the newest copy changes nothing. False when the copy could
    // not be written.
    bool keepGood(std::string_view key, std::string_view text) const;

    // The good copies there are, newest first.
    std::vector<std::filesystem::path> goodCopies(std::string_view key) const;

private:
    std::optional<std::filesystem::path> directory() const;
    static std::filesystem::path goodCopy(const std::filesystem::path& directory,
                                          std::string_view key, std::size_t place);

    std::optional<std::filesystem::path> containerDirectory_;
};

} // namespace zorvane
