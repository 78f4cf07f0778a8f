#pragma once

#include <string_view>

namespace zorvane {

// The only ways inspecting a dropped item can fail; every other problem is absorbed.
enum class ApplicationInspectionError { notAnApplication, missingIdentifier, unsignedApplication };

constexpr std::string_view description(ApplicationInspectionError error) {
    switch (error) {
    case ApplicationInspectionError::notAnApplication:
        return "Drop an application with the .app extension.";
    case ApplicationInspectionError::missingIdentifier:
        return "This application's identifier could not be read.";
    case ApplicationInspectionError::unsignedApplication:
        return "This application does not have an identifiable code signature.";
    }
    return {};
}

} // namespace zorvane
