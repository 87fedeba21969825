// Icons of the special root items, from the module's own resources.
#pragma once

#include "plugin/host_abi.h"

// The icon with this resource id at the system's small or large icon size, shared (the caller never
// destroys it); null where the module carries no icon resources.
HostIcon LoadRootItemIcon(int resource_id, bool small_icon);
