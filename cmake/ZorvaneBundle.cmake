# Lays out the application as a bundle on every platform, so that the main-bundle logic is the
# same everywhere. All identifiers and versions come from here.
set(ZORVANE_BUNDLE_IDENTIFIER "dev.quillmoor.Zorvane")
set(ZORVANE_FILTER_BUNDLE_IDENTIFIER "dev.quillmoor.Zorvane.FilterExtension")
set(ZORVANE_APP_GROUP "K4T7QW2ZP8.group.dev.quillmoor.Zorvane")
set(ZORVANE_AGENT_LABEL "dev.quillmoor.Zorvane.agent")
set(ZORVANE_AGENT_PLIST_NAME "${ZORVANE_AGENT_LABEL}.plist")
set(ZORVANE_AGENT_ARGUMENT "--status-agent")
set(ZORVANE_SHORT_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")

set(ZORVANE_APP_BUNDLE "${CMAKE_BINARY_DIR}/Zorvane.app")
set(ZORVANE_APP_CONTENTS "${ZORVANE_APP_BUNDLE}/Contents")
set(ZORVANE_FILTER_BUNDLE
    "${ZORVANE_APP_CONTENTS}/Library/SystemExtensions/${ZORVANE_FILTER_BUNDLE_IDENTIFIER}.systemextension")
set(ZORVANE_TOOLS_DIR "${CMAKE_BINARY_DIR}/bin")
# Where the Debian package puts the same tree, and the filter service's state. The programs take
# these as their defaults when they run from there, so that the installed copy needs no settings.
set(ZORVANE_INSTALLED_PREFIX "/opt/zorvane")
set(ZORVANE_INSTALLED_BUNDLE "${ZORVANE_INSTALLED_PREFIX}/Zorvane.app")
set(ZORVANE_INSTALLED_SYSTEM_DIR "/var/lib/zorvane")
set(ZORVANE_SERVICE_NAME "zorvane-filter.service")
set(ZORVANE_FILTER_BUNDLE_PATH
    "Contents/Library/SystemExtensions/${ZORVANE_FILTER_BUNDLE_IDENTIFIER}.systemextension")
set(ZORVANE_INSTALLED_FILTER
    "${ZORVANE_INSTALLED_BUNDLE}/${ZORVANE_FILTER_BUNDLE_PATH}/Contents/MacOS/ZorvaneFilter")
# Where the build writes the sample applications (samples/).
set(ZORVANE_SAMPLES_DIR "${CMAKE_BINARY_DIR}/samples")

file(MAKE_DIRECTORY "${ZORVANE_APP_CONTENTS}/MacOS" "${ZORVANE_APP_CONTENTS}/Resources"
     "${ZORVANE_APP_CONTENTS}/Library/LaunchAgents" "${ZORVANE_FILTER_BUNDLE}/Contents/MacOS")

configure_file("${CMAKE_CURRENT_LIST_DIR}/Info.plist.in" "${ZORVANE_APP_CONTENTS}/Info.plist" @ONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/FilterInfo.plist.in"
               "${ZORVANE_FILTER_BUNDLE}/Contents/Info.plist" @ONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/LaunchAgent.plist.in"
               "${ZORVANE_APP_CONTENTS}/Library/LaunchAgents/${ZORVANE_AGENT_PLIST_NAME}" @ONLY)

# The values the code needs at compile time, from the same source.
configure_file("${CMAKE_CURRENT_LIST_DIR}/BuildInfo.h.in"
               "${CMAKE_BINARY_DIR}/generated/zorvane/BuildInfo.h" @ONLY)
add_library(zorvane_build_info INTERFACE)
target_include_directories(zorvane_build_info INTERFACE "${CMAKE_BINARY_DIR}/generated")

# Places an executable at the given directory of the bundle tree.
function(zorvane_place_executable target directory)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${directory}")
endfunction()
