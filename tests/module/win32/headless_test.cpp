// Without a display (how every suite but the ui one runs) the dialogs cannot open: each command must
// come back at once as if the user had cancelled, with its usual result and nothing changed.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/files.h"
#include "core/text.h"
#include "support/test_env.h"

namespace {

TEST(HeadlessTest, CommandsThatOpenDialogsReturnAtOnceAndChangeNothing) {
  if (std::getenv("DISPLAY")) GTEST_SKIP() << "a display is set; the ui suite covers the dialogs";
  const std::u16string config = ResetConfigFolder();
  const std::string favorites =
      R"({"hub_url": "http://127.0.0.1:9/", "entries": [{"display_name": "E", "type": "org-models", "org": "o", "id": "e"}]})";
  WriteTextFile(JoinFsPath(config, u"favorites.json"), favorites);
  LoadedModule module;
  ASSERT_TRUE(module.Load());
  const struct {
    const char* path;
    const char* verb;
    int32_t result;
    const char* buffer;
  } cases[] = {{"\\[Settings]", "open", -2, "\\"}, {"\\[Add New Entry]", "OPEN", -2, "\\"},
               {"\\E", "properties", -2, "\\"},    {"\\", "properties", 0, "\\"},
               {"\\E\\x", "edit", 0, "\\E\\x"}};
  for (const auto& c : cases) {
    std::basic_string<HostChar> remote = H(c.path), verb = H(c.verb);
    remote.resize(260, 0);
    EXPECT_EQ(module.m.FsExecuteFileW(nullptr, remote.data(), verb.data()), c.result) << c.path << " " << c.verb;
    EXPECT_EQ(FromHostString(remote.c_str()), c.buffer) << c.path << " " << c.verb;
  }
  std::basic_string<HostChar> folder = H("\\New"), inside = H("\\E\\New");
  EXPECT_EQ(module.m.FsMkDirW(folder.data()), 1);
  EXPECT_EQ(module.m.FsMkDirW(inside.data()), 1);
  std::vector<ListedRecord> records;
  ListThroughModule(module.m, "\\***_TEMPORARY_***", &records);
  EXPECT_TRUE(records.empty());
  std::vector<ListedRecord> root;
  ASSERT_TRUE(ListThroughModule(module.m, "\\", &root));
  ASSERT_EQ(root.size(), 4u);
  EXPECT_EQ(root[3].name, "E");
}

}  // namespace
