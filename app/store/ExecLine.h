#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// The command line of a desktop entry's Exec key, as a launcher would run it: the value (its
// key-file escapes already resolved) split into arguments with the entry format's quoting, and
// the field codes that a launcher fills in (%f, %U, %i, ...) left out.
class ExecLine {
public:
    // Empty when a quote is left open.
    static std::optional<std::vector<std::string>> split(std::string_view value);

    // The program that the arguments run, past an "env [-i] [-u NAME] [VAR=value]..." prefix;
    // the index of that argument, or empty when there is none.
    static std::optional<std::size_t> programIndex(const std::vector<std::string>& arguments);

    // The application ID of "flatpak run [options] APP-ID [arguments]" when the program is
    // flatpak.
    static std::optional<std::string> flatpakApplication(const std::vector<std::string>& arguments,
                                                         std::size_t programIndex);
};

} // namespace zorvane
