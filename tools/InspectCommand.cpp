#include "tools/InspectCommand.h"

#include "app/store/ApplicationIconRenderer.h"
#include "app/store/ApplicationInspector.h"
#include "shared/RecordJson.h"

#include <cstdio>
#include <iostream>

namespace zorvane::tools {

int runInspect(const std::vector<std::string>& arguments) {
    bool withIcon = false;
    std::vector<std::string> paths;
    for (const auto& argument : arguments) {
        if (argument == "--icon") {
            withIcon = true;
        } else if (argument.starts_with("--")) {
            std::fprintf(stderr, "zorvane-system inspect: unknown option %s\n", argument.c_str());
            return 2;
        } else {
            paths.push_back(argument);
        }
    }
    if (paths.size() != 1) {
        std::fprintf(stderr, "usage: zorvane-system inspect [--icon] PATH\n");
        return 2;
    }

    // Rendering the icon costs an image decode; skip it unless it is asked for.
    ApplicationInspector inspector(
        withIcon ? ApplicationInspector::IconRenderer(&ApplicationIconRenderer::render)
                 : ApplicationInspector::IconRenderer());
    const auto result = inspector.inspect(paths.front(), Uuid::random());
    if (const auto* error = std::get_if<ApplicationInspectionError>(&result)) {
        const auto text = description(*error);
        std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
        return 1;
    }
    std::cout << RecordJson::toJson(std::get<BlockedApplication>(result)).dump(2) << '\n';
    return 0;
}

} // namespace zorvane::tools
