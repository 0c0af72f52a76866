#include "tests/support/Infrastructure.h"

#include <cstdlib>
#include <string_view>

namespace veldmoor::test {
namespace {

bool Set(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return false;
    const std::string_view text(value);
    return !text.empty() && text != "0" && text != "false";
}

}  // namespace

bool UnderCi() { return Set("CI") || Set("VELDMOOR_CI"); }

}  // namespace veldmoor::test
