#include "filter/host/FlowRequestParser.h"

#include <array>
#include <limits>
#include <nlohmann/json.hpp>
#include <variant>

namespace zorvane {
namespace {

using json = nlohmann::json;
using Token = std::optional<std::vector<std::uint8_t>>;

// Parsing steps report their failure here; the first one wins.
struct Failure {
    std::string reason;
};

template <typename T> using Step = std::variant<T, Failure>;

bool failed(const auto& step) {
    return std::holds_alternative<Failure>(step);
}

std::string inQuotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

std::optional<std::string> unknownKey(const json& object,
                                      std::initializer_list<std::string_view> known) {
    for (const auto& item : object.items()) {
        bool isKnown = false;
        for (auto name : known) {
            isKnown = isKnown || item.key() == name;
        }
        if (!isKnown) {
            return item.key();
        }
    }
    return std::nullopt;
}

// A JSON integer in [minimum, maximum]; empty for other types and values.
std::optional<std::int64_t> integerIn(const json& value, std::int64_t minimum,
                                      std::int64_t maximum) {
    std::int64_t number = 0;
    if (const auto* unsignedValue = value.get_ptr<const json::number_unsigned_t*>()) {
        if (*unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        number = static_cast<std::int64_t>(*unsignedValue);
    } else if (const auto* signedValue = value.get_ptr<const json::number_integer_t*>()) {
        number = *signedValue;
    } else {
        return std::nullopt;
    }
    if (number < minimum || number > maximum) {
        return std::nullopt;
    }
    return number;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

Step<std::vector<std::uint8_t>> decodeHex(const std::string& text, std::string_view field) {
    if (text.size() % 2 != 0) {
        return Failure{inQuotes(field) + " auditToken has an odd number of hex digits"};
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return Failure{inQuotes(field) +
                           " auditToken holds a character that is not a hex digit"};
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

std::vector<std::uint8_t> bytesOf(const AuditToken& token) {
    const auto bytes = token.bytes();
    return {bytes.begin(), bytes.end()};
}

std::optional<FilterFlow::Direction> directionNamed(const std::string& name) {
    if (name == "outbound") {
        return FilterFlow::Direction::outbound;
    }
    if (name == "inbound") {
        return FilterFlow::Direction::inbound;
    }
    if (name == "unknown") {
        return FilterFlow::Direction::any;
    }
    return std::nullopt;
}

Step<std::optional<std::string>> optionalString(const json& object, const char* key,
                                                std::string_view owner) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return std::optional<std::string>();
    }
    if (const auto* text = found->get_ptr<const std::string*>()) {
        return std::optional<std::string>(*text);
    }
    return Failure{inQuotes(owner) + " field " + inQuotes(key) + " must be a string or null"};
}

Step<std::optional<HostEndpoint>> parseEndpoint(const json& socket) {
    auto found = socket.find("remoteEndpoint");
    if (found == socket.end() || found->is_null()) {
        return std::optional<HostEndpoint>();
    }
    if (!found->is_object()) {
        return Failure{"\"remoteEndpoint\" must be an object or null"};
    }
    if (auto extra = unknownKey(*found, {"hostname", "port"})) {
        return Failure{"\"remoteEndpoint\" has an unknown key " + inQuotes(*extra)};
    }
    HostEndpoint endpoint;
    for (auto [key, target] :
         {std::pair{"hostname", &endpoint.hostname}, std::pair{"port", &endpoint.port}}) {
        auto field = found->find(key);
        const auto* text = field == found->end() ? nullptr : field->get_ptr<const std::string*>();
        if (!text) {
            return Failure{inQuotes("remoteEndpoint") + " field " + inQuotes(key) +
                           " must be a string"};
        }
        *target = *text;
    }
    return std::optional<HostEndpoint>(std::move(endpoint));
}

Step<std::optional<SocketFlowInfo>> parseSocket(const json& request) {
    auto found = request.find("socket");
    if (found == request.end()) {
        return std::optional<SocketFlowInfo>();
    }
    if (!found->is_object()) {
        return Failure{"\"socket\" must be an object (leave it out for a flow that is not a "
                       "socket flow)"};
    }
    if (auto extra = unknownKey(*found, {"protocol", "remoteHostname", "remoteEndpoint"})) {
        return Failure{"\"socket\" has an unknown key " + inQuotes(*extra)};
    }
    SocketFlowInfo socket;
    auto protocol = found->find("protocol");
    if (protocol == found->end()) {
        return Failure{"\"socket\" needs \"protocol\""};
    }
    const auto number = integerIn(*protocol, 0, 255);
    if (!number) {
        return Failure{"\"protocol\" must be an integer from 0 to 255"};
    }
    socket.socketProtocol = static_cast<int>(*number);
    auto hostname = optionalString(*found, "remoteHostname", "socket");
    if (failed(hostname)) {
        return std::get<Failure>(hostname);
    }
    socket.remoteHostname = std::get<0>(std::move(hostname));
    auto endpoint = parseEndpoint(*found);
    if (failed(endpoint)) {
        return std::get<Failure>(endpoint);
    }
    socket.remoteEndpoint = std::get<0>(std::move(endpoint));
    return std::optional<SocketFlowInfo>(std::move(socket));
}

} // namespace

FlowRequestParser::FlowRequestParser(SimulatedProcessTable& simulatedProcesses,
                                     RealProcessToken realProcessToken)
    : simulatedProcesses_(simulatedProcesses), realProcessToken_(std::move(realProcessToken)) {}

namespace {

// One process reference S; the token it names, or none.
Step<Token> parseProcess(const json& request, const char* field,
                         SimulatedProcessTable& simulatedProcesses,
                         const FlowRequestParser::RealProcessToken& realProcessToken) {
    auto found = request.find(field);
    if (found == request.end() || found->is_null()) {
        return Token();
    }
    if (!found->is_object() || found->size() != 1) {
        return Failure{inQuotes(field) + " must be null or an object with exactly one of "
                                         "\"executable\", \"pid\" or \"auditToken\""};
    }
    const auto entry = found->cbegin();
    const std::string& key = entry.key();
    const json& value = entry.value();
    if (key == "executable") {
        const auto* path = value.get_ptr<const std::string*>();
        if (!path || path->empty() || path->front() != '/') {
            return Failure{inQuotes(field) + " executable must be an absolute path"};
        }
        if (path->find('\0') != std::string::npos) {
            return Failure{inQuotes(field) + " executable must not contain NUL characters"};
        }
        const auto token = simulatedProcesses.tokenFor(*path);
        if (!token) {
            return Failure{"too many simulated processes: the host's table of them is full"};
        }
        return Token(bytesOf(*token));
    }
    if (key == "pid") {
        const auto pid = integerIn(value, 1, std::numeric_limits<std::int32_t>::max());
        if (!pid) {
            return Failure{inQuotes(field) + " pid must be an integer from 1 to 2147483647"};
        }
        const auto token =
            realProcessToken ? realProcessToken(static_cast<std::int32_t>(*pid)) : std::nullopt;
        return token ? Token(bytesOf(*token)) : Token();
    }
    if (key == "auditToken") {
        const auto* hex = value.get_ptr<const std::string*>();
        if (!hex) {
            return Failure{inQuotes(field) + " auditToken must be a string of hex digits"};
        }
        auto bytes = decodeHex(*hex, field);
        if (failed(bytes)) {
            return std::get<Failure>(bytes);
        }
        return Token(std::get<0>(std::move(bytes)));
    }
    return Failure{inQuotes(field) + " has an unknown key " + inQuotes(key) +
                   " (expected \"executable\", \"pid\" or \"auditToken\")"};
}

} // namespace

bool FlowRequestParser::isActivityReportRequest(std::string_view line) {
    // Flow requests never get here: only a line that names the key is parsed a second time.
    if (line.find("\"report\"") == std::string_view::npos) {
        return false;
    }
    const auto request = nlohmann::json::parse(line, nullptr, false);
    return request.is_object() && request.size() == 1 && request.contains("report") &&
           request["report"] == "activity";
}

FlowRequestParser::Result FlowRequestParser::parse(std::string_view line) const {
    const json request = json::parse(line.begin(), line.end(), nullptr, false);
    if (request.is_discarded()) {
        return {std::nullopt, "the request is not valid JSON"};
    }
    if (!request.is_object()) {
        return {std::nullopt, "the request must be a JSON object"};
    }
    if (auto extra = unknownKey(request, {"direction", "sourceApp", "sourceProcess", "socket"})) {
        return {std::nullopt, "unknown key " + inQuotes(*extra)};
    }

    FilterFlow flow;
    auto direction = request.find("direction");
    if (direction == request.end()) {
        return {std::nullopt, "\"direction\" is missing"};
    }
    const auto* directionText = direction->get_ptr<const std::string*>();
    const auto parsedDirection = directionText ? directionNamed(*directionText) : std::nullopt;
    if (!parsedDirection) {
        return {std::nullopt, "\"direction\" must be \"outbound\", \"inbound\" or \"unknown\""};
    }
    flow.direction = *parsedDirection;

    for (auto [field, target] : {std::pair{"sourceApp", &flow.sourceAppAuditToken},
                                 std::pair{"sourceProcess", &flow.sourceProcessAuditToken}}) {
        auto token = parseProcess(request, field, simulatedProcesses_, realProcessToken_);
        if (failed(token)) {
            return {std::nullopt, std::get<Failure>(std::move(token)).reason};
        }
        *target = std::get<0>(std::move(token));
    }

    auto socket = parseSocket(request);
    if (failed(socket)) {
        return {std::nullopt, std::get<Failure>(std::move(socket)).reason};
    }
    flow.socket = std::get<0>(std::move(socket));
    return {std::move(flow), {}};
}

} // namespace zorvane
