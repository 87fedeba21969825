// The Linux module carries no resources: the host draws its own icons for the root items.
#include "ui/dialogs.h"

HostIcon LoadItemIcon(int, bool) { return nullptr; }
