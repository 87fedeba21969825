// Commands on the tree shared beyond their exports.
#pragma once

#include <string>

#include "plugin/host_abi.h"

// Shows the entry settings of the entry named `name` (none: nothing happens) and applies the outcome
// to the entry list by id, then saves.
void EditEntrySettings(HostWindow window, const std::u16string& name);
