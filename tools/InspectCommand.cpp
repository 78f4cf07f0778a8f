#include "tools/InspectCommand.h"

#include "app/store/ApplicationIconRenderer.h"
#include "app/store/ApplicationInspector.h"
#include "shared/RecordJson.h"

namespace zorvane {

const char* const InspectCommand::usage = "usage: zorvane-system inspect [--icon] PATH\n";

int InspectCommand::run(const std::vector<std::string>& arguments, const std::filesystem::path&,
                        std::FILE* out, std::FILE* err) {
    bool withIcon = false;
    std::vector<std::string> paths;
    for (const auto& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage, out);
            return 0;
        }
        if (argument == "--icon") {
            withIcon = true;
        } else if (argument.starts_with("--")) {
            std::fprintf(err, "zorvane-system inspect: unknown option %s\n%s", argument.c_str(),
                         usage);
            return 2;
        } else {
            paths.push_back(argument);
        }
    }
    if (paths.size() != 1) {
        std::fputs(usage, err);
        return 2;
    }

    // Rendering the icon costs an image decode; skip it unless it is asked for.
    const ApplicationInspector inspector =
        withIcon ? ApplicationInspector(&ApplicationIconRenderer::render) : ApplicationInspector();
    const auto result = inspector.inspect(paths.front(), Uuid::random());
    if (const auto* error = std::get_if<ApplicationInspectionError>(&result)) {
        const auto text = description(*error);
        std::fprintf(err, "%.*s\n", static_cast<int>(text.size()), text.data());
        return 1;
    }
    const auto json = RecordJson::toJson(std::get<BlockedApplication>(result)).dump(2);
    std::fprintf(out, "%s\n", json.c_str());
    return 0;
}

} // namespace zorvane
