// For test programs only: the profile comes from the description file named
// by VELDMOOR_PROFILE_FILE, made by the test at run time (its world's ports
// and its own small payload). A release build never links this file.
#include <cstdio>
#include <cstdlib>

#include "profile/BuiltInProfile.h"
#include "profile/ProfileDescription.h"

namespace veldmoor {
namespace {

ProductProfile LoadOrExit() {
    const char* path = std::getenv("VELDMOOR_PROFILE_FILE");
    if (path == nullptr || *path == '\0') {
        std::fprintf(stderr, "VELDMOOR_PROFILE_FILE must name the test profile's description\n");
        std::exit(2);
    }
    std::string error;
    auto profile = LoadProfileDescription(path, error);
    if (!profile) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(2);
    }
    return *profile;
}

}  // namespace

const ProductProfile& BuiltInProfile() {
    static const ProductProfile profile = LoadOrExit();
    return profile;
}

}  // namespace veldmoor
