// Untrusted bytes as a bundle's Info.plist: the information dictionary and the executable name
// taken from it.
#include "codesign/BundleReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto info = zorvane::BundleReader::parseInfoDictionary({data, size});
    if (!info) {
        return 0;
    }
    const auto name = zorvane::BundleReader::executableName(*info);
    // A name that passed must never lead out of Contents/MacOS.
    if (name &&
        (name->empty() || *name == "." || *name == ".." || name->find('/') != std::string::npos)) {
        std::abort();
    }
    return 0;
}
