// Shared set-up of the end-to-end browsing tests: a fresh configuration pointing the loaded module at
// the fake hub, and short ways to list, copy, execute and read the hub's request log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fakehub_client.h"
#include "support/test_env.h"

class BrowseTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // Writes favorites.json with these entries ("hub_url" = the fake hub + `hub_suffix`, e.g. a fault
  // prefix) and loads the module. `options` are merged over the defaults.
  void Configure(const nlohmann::json& entries, const std::string& hub_suffix = "",
                 const nlohmann::json& options = nlohmann::json::object());

  // Records of a listing; empty (and `*ok` false) when the module answered with no handle.
  std::vector<ListedRecord> List(const std::string& path, bool* ok = nullptr);
  std::vector<std::string> Names(const std::string& path);
  int32_t GetFile(const std::string& remote, const std::u16string& local, int32_t flags = 0);
  // FsExecuteFileW with a 260-unit buffer; `*buffer_out` receives what the module left in it.
  int32_t Execute(const std::string& remote, std::string* buffer_out = nullptr);

  // Request targets the hub saw since the last call (admin requests are not logged).
  std::vector<std::string> TakeRequests();
  std::u16string CacheFile(const std::string& name) const;  // without ".json"
  void AgeCacheFile(const std::string& name, std::chrono::seconds age);
  nlohmann::json ReadFavorites() const;
  std::u16string LocalPath(const std::string& name) const;

  std::u16string config_;
  std::u16string downloads_;
  LoadedModule module_;
};

bool Contains(const std::vector<std::string>& lines, const std::string& line);
size_t CountWithPrefix(const std::vector<std::string>& lines, const std::string& prefix);
std::vector<std::string> NamesOf(const std::vector<ListedRecord>& records);
// Seconds since 1970 now, for comparing stamped times.
int64_t NowSeconds();
