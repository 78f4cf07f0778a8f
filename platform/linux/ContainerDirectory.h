#pragma once

#include <filesystem>
#include <optional>

namespace zorvane {

// The application group's container: the one directory that the window process and the status
// agent share for files. One place decides where it is, so both always agree.
class ContainerDirectory {
public:
    static constexpr const char* groupIdentifier = "K4T7QW2ZP8.group.dev.quillmoor.Zorvane";

    // $ZORVANE_CONTAINER_DIR, else $XDG_DATA_HOME/zorvane/<group>, XDG_DATA_HOME defaulting to
    // ~/.local/share. Empty only when neither the environment nor the password database names
    // a home directory. Nothing is created here.
    static std::optional<std::filesystem::path> path();
};

} // namespace zorvane
