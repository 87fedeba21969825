// Browsing an address once under "***_TEMPORARY_***": asked for once, kept until the root is listed
// again, listed at the revision it names, paged without saving. The address comes from the host's URL
// box (the Windows module shows its own dialog there, which the Wine dialog suite drives).
#include <thread>

#include "browse/browse_fixture.h"

namespace {

using TemporaryBrowse = BrowseTest;

TEST_F(TemporaryBrowse, AskedOnceUntilTheRootIsListedAgain) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows module asks with its dialog";
#endif
  Configure(json::array());
  const std::string favorites = ReadTextFile(JoinFsPath(config_, u"favorites.json"));
  g_host.text_answers = {" " + HubUrl() + "big-org?sort=likes ",
                         HubUrl() + "datasets/rev-org/table-data/tree/refs/convert/parquet/default"};
  const std::vector<std::string> names = Names("\\***_TEMPORARY_***");
  ASSERT_EQ(names.size(), 301u);
  EXPECT_EQ(names.back(), "[Load next 300 models]");
  EXPECT_EQ(g_host.questions.size(), 1u);

  // Paging below it keeps the entry and saves nothing.
  std::string buffer;
  EXPECT_EQ(Execute("\\***_TEMPORARY_***\\[Load next 300 models]", &buffer), -2);
  EXPECT_EQ(Names("\\***_TEMPORARY_***").size(), 601u);
  EXPECT_EQ(g_host.questions.size(), 1u);
  EXPECT_EQ(ReadTextFile(JoinFsPath(config_, u"favorites.json")), favorites);

  // Back at the root the entry is forgotten: the next entry asks again and may list another
  // repository, at the revision its address names (before, main).
  EXPECT_EQ(Names("\\").size(), 3u);
  TakeRequests();
  EXPECT_EQ(Names("\\***_TEMPORARY_***"), std::vector<std::string>{"default"});
  EXPECT_EQ(g_host.questions.size(), 2u);
  const std::vector<std::string> requests = TakeRequests();
  EXPECT_NE(CountWithPrefix(requests, "/api/datasets/rev-org/table-data/revision/refs%2Fconvert%2Fparquet?"), 0u);
  EXPECT_NE(CountWithPrefix(requests, "/api/datasets/rev-org/table-data/tree/" +
                                          HubCommitOf("datasets", "rev-org/table-data", "refs/convert/parquet") + "?"),
            0u);
  ASSERT_EQ(GetFile("\\***_TEMPORARY_***\\default\\train\\info.txt", LocalPath("info.txt")), kFileOk);
  EXPECT_EQ(ReadTextFile(LocalPath("info.txt")), "converted\n");

  // Cancelled, or an address that names nothing: an empty folder, asked again next time.
  Names("\\");
  EXPECT_TRUE(Names("\\***_TEMPORARY_***").empty());
  g_host.text_answers = {"https://example.com/big-org"};
  EXPECT_TRUE(Names("\\***_TEMPORARY_***").empty());
  EXPECT_TRUE(g_host.HasLogLine("Temp URL parse failed: https://example.com/big-org"));
  EXPECT_EQ(g_host.questions.size(), 4u);
}

// Fault: a copy on the host's transfer thread, still walking the temporary folder after the user went
// back to the root, opened the address dialog there, off the main thread.
TEST_F(TemporaryBrowse, OffTheMainThreadNothingIsAskedAndNothingFound) {
  Configure(json::array());
  g_host.text_answers = {HubUrl() + "files-org/basic"};
  std::vector<ListedRecord> records;
  bool listed = true;
  std::thread transfer([&] { listed = ListThroughModule(module_.m, "\\***_TEMPORARY_***\\nested", &records); });
  transfer.join();
  EXPECT_FALSE(listed);
  EXPECT_TRUE(g_host.questions.empty());
  EXPECT_TRUE(TakeRequests().empty());
#if !defined(_WIN32)  // the Windows module asks with its dialog, which the Wine dialog suite drives
  // The main thread is still asked.
  EXPECT_EQ(Names("\\***_TEMPORARY_***\\nested"), std::vector<std::string>{"a"});
  EXPECT_EQ(g_host.questions.size(), 1u);
#endif
}

}  // namespace
