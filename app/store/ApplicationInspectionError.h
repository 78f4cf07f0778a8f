#pragma once

#include <string_view>

namespace zorvane {

// The only ways inspecting a dropped item can fail; every other problem is absorbed.
enum class ApplicationInspectionError {
    notAnApplication,
    missingIdentifier,
    unsignedApplication,
    // An identifier longer than the filter configuration can carry for every listed application.
    identifierTooLong,
    // The stored path is text: a path that is not UTF-8 would be stored as one that names
    // something else.
    pathNotText,
    // Inspection did not finish in time (a bundle too large, or a file that never answers).
    timedOut,
};

constexpr std::string_view description(ApplicationInspectionError error) {
    switch (error) {
    case ApplicationInspectionError::notAnApplication:
        return "Drop an application with the .app extension.";
    case ApplicationInspectionError::missingIdentifier:
        return "This application's identifier could not be read.";
    case ApplicationInspectionError::unsignedApplication:
        return "This application does not have an identifiable code signature.";
    case ApplicationInspectionError::identifierTooLong:
        return "This application's identifier or code signature is too long to be blocked.";
    case ApplicationInspectionError::pathNotText:
        return "This application's name or the name of a folder it is in is not valid text. "
               "Rename it and add it again.";
    case ApplicationInspectionError::timedOut:
        return "This application took too long to inspect and was not added.";
    }
    return {};
}

} // namespace zorvane
