#pragma once
// The product this executable was built for. The build compiles exactly one
// implementation in (VELDMOOR_PROFILE); the values never change at run time.
#include "app/ProductProfile.h"

namespace veldmoor {

const ProductProfile& BuiltInProfile();

}  // namespace veldmoor
