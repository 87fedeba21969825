// The entry record's JSON form, shared by favorites.json and the settings export.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "core/entry.h"

// Fills `entry` from an entry object, each member read with its default; true when the object has a
// display name. A member of the wrong type gives that member's default.
bool EntryFromJson(const nlohmann::json& object, Entry* entry);
nlohmann::json EntryToJson(const Entry& entry);
