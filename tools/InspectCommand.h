#pragma once

#include <string>
#include <vector>

namespace zorvane::tools {

// zorvane-system inspect [--icon] PATH: prints what inspection makes of a bundle as the block-list
// entry's JSON form, or the inspection error and a non-zero status.
int runInspect(const std::vector<std::string>& arguments);

} // namespace zorvane::tools
