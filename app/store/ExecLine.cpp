#include "app/store/ExecLine.h"

namespace zorvane {
namespace {

bool isFieldCode(char code) {
    // The deprecated codes (%d, %D, %n, %N, %v, %m) are dropped like the current ones.
    static constexpr std::string_view codes = "fFuUickdDnNvm";
    return codes.find(code) != std::string_view::npos;
}

std::string_view fileName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace

std::optional<std::vector<std::string>> ExecLine::split(std::string_view value) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    // Whether the argument is nothing but one field code, which then takes no place at all
    // (a launcher given no files leaves no empty argument for %f).
    bool onlyFieldCode = false;
    const auto finish = [&] {
        if (inArgument && !(onlyFieldCode && current.empty())) {
            arguments.push_back(std::move(current));
        }
        current.clear();
        inArgument = false;
        onlyFieldCode = false;
    };
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < value.size() &&
                       std::string_view("\"`$\\").find(value[i + 1]) != std::string_view::npos) {
                current.push_back(value[++i]);
            } else {
                current.push_back(c);
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            finish();
            continue;
        }
        if (!inArgument) {
            inArgument = true;
            onlyFieldCode = true;
        }
        if (c == '"') {
            quoted = true;
            onlyFieldCode = false;
        } else if (c == '%' && i + 1 < value.size()) {
            const char code = value[++i];
            if (code == '%') {
                current.push_back('%');
                onlyFieldCode = false;
            } else if (!isFieldCode(code)) {
                onlyFieldCode = false; // an unknown code is kept out, but the argument stays
            }
        } else {
            current.push_back(c);
            onlyFieldCode = false;
        }
    }
    if (quoted) {
        return std::nullopt;
    }
    finish();
    return arguments;
}

std::optional<std::size_t> ExecLine::programIndex(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        return std::nullopt;
    }
    if (fileName(arguments[0]) != "env") {
        return 0;
    }
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-u" || argument == "--unset" || argument == "-C" ||
            argument == "--chdir") {
            ++i; // the option's value
        } else if (argument == "-i" || argument == "-" || argument == "--ignore-environment" ||
                   argument == "-0" || argument == "--null" || argument.starts_with("--unset=") ||
                   argument.starts_with("--chdir=")) {
        } else if (argument.starts_with("-")) {
            // An option this reading does not know: "env -S" and its kin make the rest one more
            // command line, which is not followed.
            return std::nullopt;
        } else if (argument.find('=') != std::string::npos) {
            // VAR=value
        } else {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::string> ExecLine::flatpakApplication(const std::vector<std::string>& arguments,
                                                        std::size_t programIndex) {
    if (programIndex + 1 >= arguments.size() || fileName(arguments[programIndex]) != "flatpak" ||
        arguments[programIndex + 1] != "run") {
        return std::nullopt;
    }
    for (std::size_t i = programIndex + 2; i < arguments.size(); ++i) {
        // Options of "flatpak run" come with their values after "=", so the first argument that
        // is not an option is the application.
        if (!arguments[i].starts_with("-")) {
            return arguments[i];
        }
    }
    return std::nullopt;
}

} // namespace zorvane
