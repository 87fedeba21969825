// The Linux module carries no resources: the host draws its own icons for the root items.
#include "ui/icons.h"

HostIcon LoadRootItemIcon(int, bool) { return nullptr; }
