// The objects the simulated subsystem hands out, as its functions make them.
#pragma once

#include "platform/mapi.h"
#include "qsmapi/plan.h"

namespace qsmapi {

LPPROFADMIN NewProfileAdmin();
LPMAPISESSION NewSession();

// The accounting record of an object the subsystem made, or null for any other.
const plan::Tracked* TrackedOf(LPUNKNOWN object);

}  // namespace qsmapi
