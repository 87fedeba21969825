// Shared set-up of the end-to-end tests: a fresh configuration pointing the loaded module at the fake
// hub, and short ways to list, copy, execute and read the hub's request log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cache/tree_folders.h"
#include "core/text.h"
#include "platform/platform.h"
#include "support/fakehub_client.h"
#include "support/test_env.h"

using nlohmann::json;

inline json EntryJson(const std::string& name, const std::string& type, const std::string& target,
                      bool dataset = false, int limit_count = 300) {
  json e = {{"display_name", name}, {"type", type}, {"kind", dataset ? "dataset" : "model"}};
  e["limit_count"] = limit_count;
  e[type == "single-model" ? "repo_id" : "org"] = target;
  return e;
}

inline json AllKinds() {
  return json::array({EntryJson("Files", "org-models", "files-org"),
                      EntryJson("FilesDs", "org-models", "files-org", true),
                      EntryJson("Colls", "org-collections", "coll-org"),
                      EntryJson("CollsDs", "org-collections", "coll-org", true),
                      EntryJson("One", "single-model", "space owner/model one"),
                      EntryJson("Data", "single-model", "space owner/data one", true)});
}

inline size_t CountWithPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

class BrowseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(HubUrl().empty()) << "run through tools/fakehub/run_with_hub.py";
    config_ = ResetConfigFolder();
    downloads_ = MakeTempFolder("downloads");
  }
  // Writes favorites.json ("hub_url" = the fake hub + `hub_suffix`, e.g. a fault prefix, and the
  // members of `options`) and loads the module afresh.
  void Configure(const json& entries, const std::string& hub_suffix = "", const std::string& api_key = "",
                 const json& options = json::object()) {
    module_.Unload();
    json doc = {{"hub_url", HubUrl() + hub_suffix}, {"cache_ttl_hours", 24}, {"entries", entries}};
    if (!api_key.empty()) doc["api_key"] = api_key;
    doc.update(options);
    WriteTextFile(JoinFsPath(config_, u"favorites.json"), doc.dump(2));
    ASSERT_TRUE(module_.Load());
    ResetHubLog();
    g_host.Clear();
  }
  std::vector<ListedRecord> List(const std::string& path) {  // empty: no handle (nothing to list)
    std::vector<ListedRecord> records;
    ListThroughModule(module_.m, path, &records);
    return records;
  }
  std::vector<std::string> Names(const std::string& path) {
    std::vector<std::string> names;
    for (const ListedRecord& r : List(path)) names.push_back(r.name);
    return names;
  }
  int32_t GetFile(const std::string& remote, const std::u16string& local, int32_t flags = 0) {
    std::basic_string<HostChar> r = H(remote), l(local.begin(), local.end());
    return module_.m.FsGetFileW(r.data(), l.data(), flags, nullptr);
  }
  // FsExecuteFileW with a 260-unit buffer; `*buffer_out` receives what the module left in it.
  int32_t Execute(const std::string& remote, std::string* buffer_out = nullptr) {
    std::basic_string<HostChar> buffer = H(remote), verb = H("open");
    buffer.resize(260, 0);
    const int32_t result = module_.m.FsExecuteFileW(nullptr, buffer.data(), verb.data());
    if (buffer_out) *buffer_out = FromHostString(buffer.c_str());
    return result;
  }
  std::vector<std::string> TakeRequests() {  // request targets the hub saw since the last call
    std::vector<std::string> paths;
    for (const LoggedRequest& r : FetchHubLog()) paths.push_back(r.path);
    ResetHubLog();
    return paths;
  }
  std::u16string CacheFile(const std::string& name) const {  // without ".json"
    return JoinFsPath(JoinFsPath(config_, u"cache"), Utf8ToWide(name + ".json"));
  }
  std::u16string LocalPath(const std::string& name) const { return JoinFsPath(downloads_, Utf8ToWide(name)); }
  // A repository folder's record as the module stores it, and where.
  std::u16string CacheFolderPath() const { return JoinFsPath(config_, u"cache"); }
  std::u16string RecordFile(const std::string& repo_id, const std::string& folder, uint32_t is_dataset = 0) const {
    return TreeFolderRecordPath(CacheFolderPath(), repo_id, is_dataset, "main", folder);
  }
  bool ReadRecord(const std::string& repo_id, const std::string& folder, TreeFolderRecord* record,
                  uint32_t is_dataset = 0) const {
    return ReadTreeFolderRecord(CacheFolderPath(), repo_id, is_dataset, "main", folder, TreeRecordRead::Whole, record);
  }

  std::u16string config_, downloads_;
  LoadedModule module_;
};
