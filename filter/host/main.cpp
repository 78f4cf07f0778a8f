#include "zorvane/BuildInfo.h"

#include <cstdio>

int main() {
    std::printf("ZorvaneFilter %s (%s): the filter host is not built yet\n",
                zorvane::build_info::shortVersion, zorvane::build_info::buildNumber);
    return 0;
}
