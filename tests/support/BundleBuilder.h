#pragma once

// The builder lives with the sample applications, which a build without tests makes too.
#include "samples/BundleBuilder.h"
