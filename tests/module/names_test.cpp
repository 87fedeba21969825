// Entry folders the host can always address: names read from favorites.json made safe, renames to a
// name that is no single path component refused, and deletes that remove nothing reported as failures.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/text.h"
#include "support/test_env.h"

namespace {

std::vector<std::string> RootNames(PluginModule& m) {
  std::vector<ListedRecord> records;
  std::vector<std::string> names;
  if (ListThroughModule(m, "\\", &records)) {
    for (size_t i = 3; i < records.size(); ++i) names.push_back(records[i].name);  // after the fixed records
  }
  return names;
}

// Fault: a display name holding a separator, or "..", gave a folder that could not be opened, renamed or
// deleted, and deleting it (or anything else that removed nothing) answered success.
TEST(ModuleNames, EveryEntryFolderCanBeRenamedAndDeletedAndNothingRemovedIsNoSuccess) {
  const std::u16string path = JoinFsPath(ResetConfigFolder(), u"favorites.json");
  // A closed loopback port keeps anything that would list a folder off the network.
  WriteTextFile(path, R"({"hub_url": "http://127.0.0.1:9/", "entries": [
      {"display_name": "evil/name", "id": "a"}, {"display_name": "..", "id": "b"},
      {"display_name": "back\\slash", "id": "c"}, {"display_name": "Fine", "id": "d"},
      {"display_name": "evil_name", "id": "e"}, {"display_name": "tab\there", "id": "f"}]})");
  LoadedModule module;
  ASSERT_TRUE(module.Load());
  EXPECT_EQ(RootNames(module.m), (std::vector<std::string>{"evil_name (2)", "__", "back_slash", "Fine", "evil_name",
                                                           "tab_here"}));

  const auto rename = [&](const std::string& from, const std::string& to) {
    return module.m.FsRenMovFileW(H(from).data(), H(to).data(), 0, 0, nullptr);
  };
  for (const char* refused : {"\\..", "\\.", "\\a\x01" "b", "\\tab\there"}) {
    EXPECT_EQ(rename("\\Fine", refused), kFileWriteError) << refused;
  }
  EXPECT_EQ(rename("\\__", "\\Dots"), kFileOk);
  EXPECT_EQ(rename("\\Nobody", "\\Somebody"), kFileNotFound);

  const auto remove = [&](const std::string& p) { return module.m.FsDeleteFileW(H(p).data()) != 0; };
  EXPECT_FALSE(remove("\\Fine\\repo\\file.txt")) << "nothing inside an entry is ever deleted";
  EXPECT_FALSE(module.m.FsRemoveDirW(H("\\Fine\\repo").data()));
  EXPECT_FALSE(remove("\\Nobody"));
  EXPECT_FALSE(remove("\\[Settings]"));
  EXPECT_TRUE(remove("\\evil_name (2)"));
  EXPECT_TRUE(remove("\\back_slash"));
  EXPECT_FALSE(remove("\\back_slash")) << "already gone";

  const nlohmann::json document = nlohmann::json::parse(ReadTextFile(path));
  std::vector<std::string> saved;
  for (const auto& e : document["entries"]) saved.push_back(e["display_name"]);
  EXPECT_EQ(saved, (std::vector<std::string>{"Dots", "Fine", "evil_name", "tab_here"}));
}

}  // namespace
