// The provisioning workflow: create or reuse the profile named by ProfileName, give a new one
// the Exchange service, show the service's configuration dialog, make sure the result names a
// user and a home server, and roll a new profile back when that fails.
#pragma once

// Returns true when the profile is left behind configured: a profile this run created only
// when everything succeeded, a profile that existed before when nothing failed.
bool ConfigureProfile(void);
