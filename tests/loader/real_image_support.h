// The real driver image (nuvixusb.sys, from the target build) for the 32-bit
// host build's tests: where it is, and a load that must succeed.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/loader/image_loader.h"

namespace testing_support {

// Built by this build's own target sub-build (see tests/CMakeLists.txt).
inline std::string RealImagePath() { return NUVIX_REAL_IMAGE; }
// The same image with one completion routine in the wrong convention.
inline std::string WrongConventionImagePath() { return NUVIX_WRONG_CONVENTION_IMAGE; }

}  // namespace testing_support
