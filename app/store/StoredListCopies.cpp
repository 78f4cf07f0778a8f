#include "app/store/StoredListCopies.h"

#include "platform/linux/AtomicFile.h"
#include "platform/linux/ContainerDirectory.h"
#include "platform/linux/DatedCopy.h"

#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace zorvane {
namespace {

bool holds(const std::filesystem::path& file, std::string_view text) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return content == text;
}

} // namespace

StoredListCopies::StoredListCopies(std::optional<std::filesystem::path> containerDirectory)
    : containerDirectory_(std::move(containerDirectory)) {}

StoredListCopies StoredListCopies::standard() {
    return StoredListCopies(ContainerDirectory::path());
}

std::optional<std::filesystem::path> StoredListCopies::directory() const {
    if (!containerDirectory_) {
        return std::nullopt;
    }
    auto directory = *containerDirectory_ / "Library" / "Application Support" / "Zorvane";
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (!std::filesystem::is_directory(directory, error)) {
        return std::nullopt;
    }
    return directory;
}

std::filesystem::path StoredListCopies::goodCopy(const std::filesystem::path& directory,
                                                 std::string_view key, std::size_t place) {
    return directory / (std::string(key) + ".good-" + std::to_string(place) + ".json");
}

std::optional<std::filesystem::path>
StoredListCopies::keepAsStored(std::string_view key, std::string_view storedText) const {
    const auto into = directory();
    if (!into) {
        return std::nullopt;
    }
    auto copy = DatedCopy::freeName(*into, key, "as-stored", ".json");
    if (!copy || AtomicFile::replace(*copy, storedText)) {
        return std::nullopt;
    }
    return copy;
}

bool StoredListCopies::keepGood(std::string_view key, std::string_view text) const {
    const auto into = directory();
    if (!into) {
        return false;
    }
    const auto newest = goodCopy(*into, key, 1);
    if (holds(newest, text)) {
        return true;
    }
    for (std::size_t place = goodCopyCount; place > 1; --place) {
        std::error_code error;
        std::filesystem::rename(goodCopy(*into, key, place - 1), goodCopy(*into, key, place),
                                error);
    }
    return !AtomicFile::replace(newest, text);
}

std::vector<std::filesystem::path> StoredListCopies::goodCopies(std::string_view key) const {
    std::vector<std::filesystem::path> copies;
    const auto in = directory();
    if (!in) {
        return copies;
    }
    for (std::size_t place = 1; place <= goodCopyCount; ++place) {
        auto copy = goodCopy(*in, key, place);
        std::error_code error;
        if (std::filesystem::is_regular_file(copy, error)) {
            copies.push_back(std::move(copy));
        }
    }
    return copies;
}

} // namespace zorvane
