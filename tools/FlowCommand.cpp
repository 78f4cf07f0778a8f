#include "tools/FlowCommand.h"

#include "platform/linux/SystemDirectory.h"
#include "shared/PlistCodec.h"
#include "tools/FlowSocketClient.h"

#include <arpa/inet.h>
#include <charconv>
#include <nlohmann/json.hpp>
#include <system_error>

namespace zorvane {
namespace {

using json = nlohmann::json;

struct PathResult {
    std::optional<std::string> path;
    std::string problem;
};

// The executable a simulated process runs: the file itself, or a bundle's main executable.
// Paths are made absolute but not resolved further: the filter compares them as text.
PathResult executableFor(const std::string& argument, const char* option) {
    std::error_code error;
    const auto path = std::filesystem::absolute(argument, error).lexically_normal();
    if (error || !std::filesystem::exists(path, error)) {
        return {std::nullopt, std::string(option) + ": no such file: " + argument};
    }
    if (!std::filesystem::is_directory(path, error)) {
        return {path.string(), {}};
    }
    auto bundle = path;
    if (!bundle.has_filename()) {
        bundle = bundle.parent_path(); // "/x/Some.app/" after normalisation
    }
    const auto info = PlistCodec::readFile(bundle / "Contents" / "Info.plist", 1024 * 1024);
    const PlistValue* name = info ? info->find("CFBundleExecutable") : nullptr;
    if (!name || !name->string() || name->string()->empty() ||
        name->string()->find('/') != std::string::npos) {
        return {std::nullopt, std::string(option) + ": " + argument +
                                  " is a directory but not a bundle with a main executable"};
    }
    const auto executable = bundle / "Contents" / "MacOS" / *name->string();
    if (!std::filesystem::is_regular_file(executable, error)) {
        return {std::nullopt, std::string(option) +
                                  ": the bundle's executable is missing: " + executable.string()};
    }
    return {executable.string(), {}};
}

bool isNumericAddress(const std::string& host) {
    unsigned char buffer[16];
    std::string bare = host;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') {
        bare = bare.substr(1, bare.size() - 2);
    }
    return ::inet_pton(AF_INET, bare.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, bare.c_str(), buffer) == 1;
}

} // namespace

const char* const FlowCommand::usage =
    "usage: zorvane-system flow --app PATH [--process PATH] --host H --port P [--udp] [--inbound]\n"
    "\n"
    "Asks the running filter for its verdict on one new flow, opened by a simulated process\n"
    "running the executable --process (default: the same as --app) on behalf of the application\n"
    "running --app, to host H and port P over TCP (UDP with --udp), outbound unless --inbound.\n"
    "PATH is an executable file, or an application bundle (its main executable is used).\n"
    "\n"
    "Prints the verdict, \"allow\" or \"drop\", and exits with 0. When no filter host runs, the\n"
    "flow is not filtered at all: the command says so on standard error, prints \"allow\" and\n"
    "exits with 0, because the filter fails open. Exits with 1 when the host does not answer or\n"
    "refuses the request, and with 2 for wrong arguments.\n";

FlowCommand::Parsed FlowCommand::parse(const std::vector<std::string>& arguments) {
    Parsed parsed;
    std::optional<std::string> application;
    std::optional<std::string> process;
    std::optional<std::string> host;
    std::optional<std::string> port;
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            parsed.helpRequested = true;
            return parsed;
        }
        if (argument == "--udp") {
            options.udp = true;
            continue;
        }
        if (argument == "--inbound") {
            options.inbound = true;
            continue;
        }
        std::optional<std::string>* target = argument == "--app"       ? &application
                                             : argument == "--process" ? &process
                                             : argument == "--host"    ? &host
                                             : argument == "--port"    ? &port
                                                                       : nullptr;
        if (!target) {
            parsed.usageError = "unknown argument: " + argument;
            return parsed;
        }
        if (i + 1 >= arguments.size()) {
            parsed.usageError = argument + " needs a value";
            return parsed;
        }
        if (target->has_value()) {
            parsed.usageError = argument + " is given twice";
            return parsed;
        }
        *target = arguments[++i];
    }
    if (!application) {
        parsed.usageError = "--app is required";
        return parsed;
    }
    if (!host || host->empty()) {
        parsed.usageError = "--host is required and must not be empty";
        return parsed;
    }
    if (!port) {
        parsed.usageError = "--port is required";
        return parsed;
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), value);
    if (error != std::errc() || end != port->data() + port->size() || value < 1 || value > 65535) {
        parsed.usageError = "--port must be a number from 1 to 65535: " + *port;
        return parsed;
    }
    options.port = static_cast<std::uint16_t>(value);
    options.host = *host;

    auto applicationPath = executableFor(*application, "--app");
    if (!applicationPath.path) {
        parsed.usageError = applicationPath.problem;
        return parsed;
    }
    options.application = *applicationPath.path;
    if (process) {
        auto processPath = executableFor(*process, "--process");
        if (!processPath.path) {
            parsed.usageError = processPath.problem;
            return parsed;
        }
        options.process = *processPath.path;
    } else {
        options.process = options.application;
    }
    parsed.options = std::move(options);
    return parsed;
}

std::string FlowCommand::requestLine(const Options& options) {
    json socket{
        {"protocol", options.udp ? 17 : 6},
        {"remoteEndpoint", {{"hostname", options.host}, {"port", std::to_string(options.port)}}}};
    // A name is what the application asked for; an address literal is only the endpoint.
    if (!isNumericAddress(options.host)) {
        socket["remoteHostname"] = options.host;
    }
    const json request{{"direction", options.inbound ? "inbound" : "outbound"},
                       {"sourceApp", {{"executable", options.application}}},
                       {"sourceProcess", {{"executable", options.process}}},
                       {"socket", std::move(socket)}};
    return request.dump(-1, ' ', false, json::error_handler_t::replace);
}

int FlowCommand::run(const std::vector<std::string>& arguments,
                     const std::filesystem::path& systemDirectory, std::FILE* out, std::FILE* err) {
    const auto parsed = parse(arguments);
    if (parsed.helpRequested) {
        std::fputs(usage, out);
        return 0;
    }
    if (!parsed.options) {
        std::fprintf(err, "zorvane-system flow: %s\n%s", parsed.usageError.c_str(), usage);
        return 2;
    }

    const auto socketPath = systemDirectory / SystemDirectory::flowSocketName;
    const auto result = FlowSocketClient(socketPath).exchange(requestLine(*parsed.options));
    switch (result.outcome) {
    case FlowSocketClient::Outcome::notRunning:
        std::fprintf(err,
                     "zorvane-system: the filter is not running (nothing serves %s), so the flow "
                     "is not filtered: the filter fails open\n",
                     socketPath.c_str());
        std::fputs("allow\n", out);
        return 0;
    case FlowSocketClient::Outcome::failed:
        std::fprintf(err, "zorvane-system: %s\n", result.problem.c_str());
        return 1;
    case FlowSocketClient::Outcome::replied:
        break;
    }

    const json reply = json::parse(result.reply, nullptr, false);
    const auto* verdict = reply.is_object() && reply.contains("verdict")
                              ? reply["verdict"].get_ptr<const std::string*>()
                              : nullptr;
    if (verdict && (*verdict == "allow" || *verdict == "drop")) {
        std::fprintf(out, "%s\n", verdict->c_str());
        return 0;
    }
    const auto* error = reply.is_object() && reply.contains("error")
                            ? reply["error"].get_ptr<const std::string*>()
                            : nullptr;
    std::fprintf(err, "zorvane-system: the filter refused the request: %s\n",
                 error ? error->c_str() : result.reply.c_str());
    return 1;
}

} // namespace zorvane
