// Shared set-up of the end-to-end browsing tests; see browse_fixture.h.
#include "browse/browse_fixture.h"

#include <filesystem>

#include "plugin/text.h"

using nlohmann::json;

void BrowseTest::SetUp() {
  ASSERT_FALSE(HubUrl().empty()) << "run through tools/fakehub/run_with_hub.py";
  config_ = ResetConfigFolder();
  downloads_ = MakeTempFolder("downloads");
  g_host.Clear();
}

void BrowseTest::Configure(const json& entries, const std::string& hub_suffix, const json& options) {
  json doc = {{"hub_url", HubUrl() + hub_suffix}, {"cache_ttl_hours", 24}, {"entries", entries}};
  for (const auto& item : options.items()) doc[item.key()] = item.value();
  WriteTextFile(JoinFsPath(config_, u"favorites.json"), doc.dump(2));
  ASSERT_TRUE(module_.Load());
  ResetHubLog();
  g_host.Clear();
}

std::vector<ListedRecord> BrowseTest::List(const std::string& path, bool* ok) {
  std::vector<ListedRecord> records;
  const bool listed = ListThroughModule(module_.m, path, &records);
  if (ok) *ok = listed;
  return records;
}

std::vector<std::string> BrowseTest::Names(const std::string& path) { return NamesOf(List(path)); }

int32_t BrowseTest::GetFile(const std::string& remote, const std::u16string& local, int32_t flags) {
  std::basic_string<HostChar> r = H(remote);
  std::basic_string<HostChar> l(local.begin(), local.end());
  return module_.m.FsGetFileW(r.data(), l.data(), flags, nullptr);
}

int32_t BrowseTest::Execute(const std::string& remote, std::string* buffer_out) {
  std::basic_string<HostChar> buffer = H(remote);
  buffer.resize(260, 0);
  std::basic_string<HostChar> verb = H("open");
  const int32_t result = module_.m.FsExecuteFileW(nullptr, buffer.data(), verb.data());
  if (buffer_out) *buffer_out = FromHostString(buffer.c_str());
  return result;
}

std::vector<std::string> BrowseTest::TakeRequests() {
  std::vector<std::string> paths;
  for (const LoggedRequest& r : FetchHubLog()) paths.push_back(r.path);
  ResetHubLog();
  return paths;
}

std::u16string BrowseTest::CacheFile(const std::string& name) const {
  return JoinFsPath(JoinFsPath(config_, u"cache"), Utf8ToWide(name + ".json"));
}

void BrowseTest::AgeCacheFile(const std::string& name, std::chrono::seconds age) {
  namespace fs = std::filesystem;
  fs::last_write_time(FsPath(CacheFile(name)), fs::file_time_type::clock::now() - age);
}

json BrowseTest::ReadFavorites() const {
  return json::parse(ReadTextFile(JoinFsPath(config_, u"favorites.json")), nullptr, false);
}

std::u16string BrowseTest::LocalPath(const std::string& name) const { return JoinFsPath(downloads_, Utf8ToWide(name)); }

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines) {
    if (l == line) return true;
  }
  return false;
}

size_t CountWithPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
  return n;
}

std::vector<std::string> NamesOf(const std::vector<ListedRecord>& records) {
  std::vector<std::string> names;
  for (const ListedRecord& r : records) names.push_back(r.name);
  return names;
}

int64_t NowSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}
