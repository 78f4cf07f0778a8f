#pragma once

#include "shared/PlatformWording.h"

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
    // Desktop entries and programs on Linux.
    unreadableDesktopEntry,
    desktopEntryTooLarge,
    invalidDesktopEntry,
    missingProgram,
    programNotFound,
    programNotExecutable,
    programPathUnusable,
    notAProgram,
    interpretedProgram,
};

constexpr std::string_view description(ApplicationInspectionError error) {
    switch (error) {
    case ApplicationInspectionError::notAnApplication:
        return PlatformWording::text("inspection.notAnApplication");
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
    case ApplicationInspectionError::unreadableDesktopEntry:
        return "This desktop entry could not be read: it is not a regular file or cannot be "
               "opened.";
    case ApplicationInspectionError::desktopEntryTooLarge:
        return "This desktop entry is far larger than any real one and was not read.";
    case ApplicationInspectionError::invalidDesktopEntry:
        return "This file is not a valid desktop entry of an application (it is not UTF-8 text, "
               "or not in the desktop entry format, or not of type Application).";
    case ApplicationInspectionError::missingProgram:
        return "This desktop entry does not say which program it starts: its Exec line is "
               "missing or empty.";
    case ApplicationInspectionError::programNotFound:
        return "The program this application starts could not be found. It may have been "
               "uninstalled.";
    case ApplicationInspectionError::programNotExecutable:
        return "The program this application starts is not an executable file.";
    case ApplicationInspectionError::programPathUnusable:
        return "The path to this application's program could not be followed: its links go "
               "round in a loop or lead into /proc.";
    case ApplicationInspectionError::notAProgram:
        return "This file is not a program that Linux runs directly (an ELF executable).";
    case ApplicationInspectionError::interpretedProgram:
        return "This application is a script run by an interpreter (a shell, Python, Perl, Node "
               "and the like). Blocking the interpreter would block every script that uses it, "
               "so it cannot be added.";
    }
    return {};
}

} // namespace zorvane
