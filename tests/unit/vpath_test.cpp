// Host paths: splitting, prefixes, repository sub-paths and the special names.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "plugin/vpath.h"

TEST(SplitPath, CutsAtSeparatorsAndDropsEmptyPieces) {
  // "/" separates only where it is the platform's separator (Linux hosts send "/E/repo/").
  const bool slash = PlatformPathSeparator() == u'/';
  const std::pair<std::u16string, VirtualPath> cases[] = {
      {u"\\", {}}, {u"", {}}, {u"\\\\a\\\\b\\", {u"a", u"b"}}, {u"\\ x ", {u" x "}},
      {u"\\.\\..\\c", {u".", u"..", u"c"}}, {u"\\a/b", slash ? VirtualPath{u"a", u"b"} : VirtualPath{u"a/b"}}};
  for (const auto& [path, parts] : cases) EXPECT_EQ(SplitPath(path), parts) << path.size();
  EXPECT_EQ(SplitPath(u"/Model 00/onnx/").size(), slash ? 2u : 1u);
  EXPECT_EQ(HostPathPrefix({u"a", u"b"}, 2), slash ? u"/a/b" : u"\\a\\b");
}

TEST(PathPrefixAndJoinRepoPath, JoinTheFirstComponentsOrTheRestInUtf8) {
  const VirtualPath p{u"E", u"repo", u"dir"};
  EXPECT_EQ(PathPrefix(p, 0), u"\\");
  EXPECT_EQ(PathPrefix(p, 1), u"\\E");
  EXPECT_EQ(PathPrefix(p, 3), u"\\E\\repo\\dir");
  EXPECT_EQ(PathPrefix({}, 2), u"\\");
  EXPECT_EQ(JoinRepoPath({u"E", u"repo", u"dir", u"f.txt"}, 2), "dir/f.txt");
  EXPECT_EQ(JoinRepoPath(p, 3), "");
  EXPECT_EQ(JoinRepoPath(p, 9), "");
  EXPECT_EQ(JoinRepoPath({u"E", u"caf\u00e9"}, 1), "caf\xc3\xa9");
}

TEST(IsSpecialName, IsExactAndCaseSensitive) {
  for (const char16_t* name : {u"[Settings]", u"[Add New Entry]", u"***_TEMPORARY_***"}) EXPECT_TRUE(IsSpecialName(name));
  for (const char16_t* name : {u"[settings]", u"[Settings] "}) EXPECT_FALSE(IsSpecialName(name));
}
