// favorites.json: the entries and options, and the API key's protection.
#pragma once

#include <string>

// Replaces the entries and options in the plugin state with the file's content.
void LoadFavorites();
// Writes the entries and options, keeping the previous file as ".bak"; failures are silent.
void SaveFavorites();

// Base64 of the key protected for this user; empty on failure.
std::string ProtectApiKey(const std::string& key);
// The key, or empty (logging why when the protection belongs to another account or machine).
std::string UnprotectApiKey(const std::string& base64);
std::string Base64Encode(const std::string& bytes);
std::string Base64Decode(const std::string& text);
