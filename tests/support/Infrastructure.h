#pragma once
// What a test needs from the machine: a program or server it starts, root, or
// a condition of the machine that decides whether the case applies at all.
//
//   VELDMOOR_REQUIRE_STARTED(world.Ready(), "nginx");
//       fails the test when the infrastructure is missing or did not start,
//       everywhere: scripts/setup.sh installs every program a test starts.
//   VELDMOOR_REQUIRE_ROOT("mounting a tmpfs");
//       without root: skips with the reason, but fails under CI, which runs
//       as root, so that a test CI never ran cannot pass for one that did.
//   VELDMOOR_SKIP_NOT_APPLICABLE("a tray is available here");
//       the case does not exist on this machine; allowed under CI too.
//
// Use these instead of a bare GTEST_SKIP: under CI scripts/test.sh fails on
// every skip that is not marked "not applicable here".
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace veldmoor::test {

// True when the environment says CI: CI (as most CI services set it, any
// value but "", "0" or "false") or VELDMOOR_CI (exported by .ci/run).
bool UnderCi();

}  // namespace veldmoor::test

#define VELDMOOR_REQUIRE_STARTED(started, what) \
    if (started) {                              \
    } else                                      \
        GTEST_FAIL() << "infrastructure missing or not started: " << what

#define VELDMOOR_REQUIRE_ROOT(why)                                                \
    if (::veldmoor::test::RunningAsRoot()) {                                      \
    } else if (::veldmoor::test::UnderCi())                                       \
        GTEST_FAIL() << "needs root, and CI must run as root: " << why;           \
    else                                                                          \
        GTEST_SKIP() << "needs root: " << why

#define VELDMOOR_SKIP_NOT_APPLICABLE(why) GTEST_SKIP() << "not applicable here: " << why
