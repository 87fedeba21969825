// The root items' icons, loaded from the module's resources as shared images.
#include <windows.h>

#include "plugin/state.h"
#include "ui/icons.h"

HostIcon LoadRootItemIcon(int resource_id, bool small_icon) {
  const int cx = GetSystemMetrics(small_icon ? SM_CXSMICON : SM_CXICON);
  const int cy = GetSystemMetrics(small_icon ? SM_CYSMICON : SM_CYICON);
  return LoadImageW(static_cast<HINSTANCE>(g_state.module_handle), MAKEINTRESOURCEW(resource_id), IMAGE_ICON,
                    cx, cy, LR_SHARED);
}
