// Host paths: splitting, prefixes, repository sub-paths and the special names.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "plugin/vpath.h"

TEST(SplitPath, CutsAtSeparatorsAndDropsEmptyPieces) {
  EXPECT_TRUE(SplitPath(u"\\").empty());
  EXPECT_TRUE(SplitPath(u"").empty());
  EXPECT_EQ(SplitPath(u"\\\\a\\\\b\\"), (VirtualPath{u"a", u"b"}));
  // "/" separates only where it is the platform's separator (Linux hosts send "/E/repo/").
  const bool slash = PlatformPathSeparator() == u'/';
  EXPECT_EQ(SplitPath(u"\\a/b"), slash ? (VirtualPath{u"a", u"b"}) : (VirtualPath{u"a/b"}));
  EXPECT_EQ(SplitPath(u"/Model 00/onnx/").size(), slash ? 2u : 1u);
  EXPECT_EQ(HostPathPrefix({u"a", u"b"}, 2), slash ? u"/a/b" : u"\\a\\b");
  EXPECT_EQ(SplitPath(u"\\ x "), (VirtualPath{u" x "}));
  EXPECT_EQ(SplitPath(u"\\.\\..\\c"), (VirtualPath{u".", u"..", u"c"}));
}

TEST(PathPrefix, JoinsTheFirstComponents) {
  const VirtualPath p{u"a", u"b", u"c"};
  EXPECT_EQ(PathPrefix(p, 0), u"\\");
  EXPECT_EQ(PathPrefix(p, 1), u"\\a");
  EXPECT_EQ(PathPrefix(p, 3), u"\\a\\b\\c");
  EXPECT_EQ(PathPrefix({}, 2), u"\\");
}

TEST(JoinRepoPath, JoinsFromAPositionInUtf8) {
  const VirtualPath p{u"E", u"repo", u"dir", u"f.txt"};
  EXPECT_EQ(JoinRepoPath(p, 2), "dir/f.txt");
  EXPECT_EQ(JoinRepoPath(p, 4), "");
  EXPECT_EQ(JoinRepoPath(p, 9), "");
  EXPECT_EQ(JoinRepoPath({u"E", u"caf\u00e9"}, 1), "caf\xc3\xa9");
}

TEST(IsSpecialName, IsExactAndCaseSensitive) {
  EXPECT_TRUE(IsSpecialName(u"[Settings]"));
  EXPECT_TRUE(IsSpecialName(u"[Add New Entry]"));
  EXPECT_TRUE(IsSpecialName(u"***_TEMPORARY_***"));
  EXPECT_FALSE(IsSpecialName(u"[settings]"));
  EXPECT_FALSE(IsSpecialName(u"[Settings] "));
}
