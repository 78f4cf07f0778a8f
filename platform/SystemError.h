#pragma once

#include <cstdint>
#include <string>

namespace zorvane {

// An error as the system reports it: a domain, a code within that domain and a text meant for the
// user. Callers recognise particular failures by domain and code (the filter permission that is
// still settling, the approval the user has not given yet); the text is what the user sees.
struct SystemError {
    static constexpr const char* filterErrorDomain = "NEFilterErrorDomain";
    static constexpr const char* configurationErrorDomain = "NEConfigurationErrorDomain";
    static constexpr const char* systemExtensionErrorDomain = "OSSystemExtensionErrorDomain";

    // Codes of the filter domain that the Linux stand-ins produce.
    static constexpr std::int64_t filterConfigurationInvalid = 1;
    static constexpr std::int64_t filterConfigurationPermissionDenied = 5;
    static constexpr std::int64_t filterConfigurationInternalError = 6;

    // Codes of the system-extension domain.
    static constexpr std::int64_t extensionUnknown = 1;
    static constexpr std::int64_t extensionUnsupportedParentBundleLocation = 3;
    static constexpr std::int64_t extensionNotFound = 4;
    static constexpr std::int64_t extensionRequestCanceled = 11;
    static constexpr std::int64_t extensionRequestSuperseded = 12;
    static constexpr std::int64_t extensionAuthorizationRequired = 13;

    std::string domain;
    std::int64_t code = 0;
    std::string localizedDescription;

    friend bool operator==(const SystemError&, const SystemError&) = default;
};

} // namespace zorvane
