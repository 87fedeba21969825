// Temporary browsing of a hub address without saving it.
#include "browse/browse.h"
#include "config/entries_from_url.h"
#include "plugin/state.h"
#include "ui/dialogs.h"

std::unique_ptr<FindHandle> EnumTemporary(const VirtualPath& components, const std::u16string& host_path) {
  Entry copy;
  bool present = false;
  {
    StateLock guard(g_state.lock);
    present = g_state.temporary_present;
    if (present) copy = g_state.temporary_entry;
  }
  if (!present) {
    // Asked without the lock; two listings at once may both ask, and the last entry stored wins.
    std::u16string address;
    if (!ShowTemporaryDialog(CurrentForegroundWindow(), &address)) return nullptr;
    if (!MakeTemporaryEntry(address, &copy)) {
      LogMessage(u"Temp URL parse failed: " + address);
      return nullptr;
    }
    StateLock guard(g_state.lock);
    g_state.temporary_entry = copy;
    g_state.temporary_present = true;
  }
  return EnumFolder(copy, components, host_path);
}
