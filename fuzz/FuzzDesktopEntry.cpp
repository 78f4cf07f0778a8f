// Untrusted bytes as a desktop entry: the key file, its localised name and the Exec line split
// into the program and its arguments.
#include "app/store/ExecLine.h"
#include "shared/KeyFile.h"
#include "shared/Utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto file = zorvane::KeyFile::parse(text);
    if (!file) {
        return 0;
    }
    const auto name = file->localeString("Desktop Entry", "Name", "de_DE.UTF-8@euro");
    // Taken only as valid UTF-8, so every text read from it stays valid.
    if (name && !zorvane::Utf8::isValid(*name)) {
        std::abort();
    }
    if (const auto exec = file->string("Desktop Entry", "Exec")) {
        if (const auto arguments = zorvane::ExecLine::split(*exec)) {
            if (const auto program = zorvane::ExecLine::programIndex(*arguments)) {
                if (*program >= arguments->size()) {
                    std::abort();
                }
                zorvane::ExecLine::flatpakApplication(*arguments, *program);
            }
        }
    }
    return 0;
}
