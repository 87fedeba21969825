// Copying files out of every kind of entry through FsGetFileW, with each result the host can get:
// 0 copied, 1 target exists, 2 not found, 3 failed, 5 cancelled, 6 not supported.
#include <thread>

#include "browse/browse_fixture.h"

using nlohmann::json;

namespace {

class Copy : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    Configure(Entries());
  }
  static json Entries() {
    return json::array({
        {{"display_name", "Files"}, {"type", "org-models"}, {"org", "files-org"}, {"limit_count", 10}},
        {{"display_name", "FilesDs"}, {"type", "org-models"}, {"kind", "dataset"}, {"org", "files-org"}},
        {{"display_name", "Colls"}, {"type", "org-collections"}, {"org", "coll-org"}},
        {{"display_name", "CollsDs"}, {"type", "org-collections"}, {"kind", "dataset"}, {"org", "coll-org"}},
        {{"display_name", "One"}, {"type", "single-model"}, {"repo_id", "space owner/model one"}},
        {{"display_name", "Data"}, {"type", "single-model"}, {"kind", "dataset"}, {"repo_id", "space owner/data one"}},
    });
  }
  std::vector<int> Percents() {
    std::lock_guard<std::mutex> guard(g_host.lock);
    std::vector<int> out;
    for (const auto& p : g_host.progress) out.push_back(p.second);
    return out;
  }
};

TEST_F(Copy, EveryEntryKindCopiesItsFiles) {
  struct Case {
    const char* remote;
    const char* request;
    std::string content;
  };
  const std::vector<Case> cases = {
      {"\\Files\\basic\\README.md", "/files-org/basic/resolve/main/README.md", "# basic\n\nA small test model.\n"},
      {"\\Files\\basic\\donn\xc3\xa9" "es\\r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9.txt",
       "/files-org/basic/resolve/main/donn%C3%A9es/r%C3%A9sum%C3%A9%20%C3%A9t%C3%A9.txt", "non-ascii\n"},
      {"\\FilesDs\\dataset-one\\README.md", "/datasets/files-org/dataset-one/resolve/main/README.md",
       "# dataset-one\n"},
      {"\\Colls\\Favourites\\basic\\binary.dat", "/files-org/basic/resolve/main/binary.dat",
       std::string("\x00\x01\x02\x03\xff", 5)},
      {"\\One\\sub dir\\file one.txt", "/space%20owner/model%20one/resolve/main/sub%20dir/file%20one.txt", "one\n"},
      {"\\Data\\a b.csv", "/datasets/space%20owner/data%20one/resolve/main/a%20b.csv", "a,b\n1,2\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::u16string target = LocalPath("out-" + std::to_string(++n));
    TakeRequests();
    EXPECT_EQ(GetFile(c.remote, target), 0) << c.remote;
    EXPECT_EQ(ReadTextFile(target), c.content) << c.remote;
    EXPECT_TRUE(Contains(TakeRequests(), c.request)) << c.remote;
  }
}

// Regression: a collection of an entry marked as datasets listed its models as models but fetched
// their files under "datasets/", so every copy out of it failed.
TEST_F(Copy, ACollectionOfADatasetEntryStillCopiesModelFiles) {
  const std::u16string target = LocalPath("from-collection");
  EXPECT_EQ(GetFile("\\CollsDs\\Nested pick\\model one\\README.md", target), 0);
  EXPECT_EQ(ReadTextFile(target), "# model one\n");
  EXPECT_TRUE(Contains(TakeRequests(), "/space%20owner/model%20one/resolve/main/README.md"));
}

TEST_F(Copy, LargeFilesReportRisingPercentagesToAHundred) {
  const std::u16string target = LocalPath("weights");
  EXPECT_EQ(GetFile("\\Files\\basic\\weights.safetensors", target), 0);  // redirected to the second host
  EXPECT_EQ(ReadTextFile(target).size(), 1048576u);
  const std::vector<int> percents = Percents();
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);
  for (size_t i = 1; i < percents.size(); ++i) EXPECT_LE(percents[i - 1], percents[i]);

  g_host.Clear();
  EXPECT_EQ(GetFile("\\Files\\basic\\empty.txt", LocalPath("empty")), 0);
  for (int p : Percents()) EXPECT_EQ(p, 0);  // no total: always 0 percent
}

TEST_F(Copy, AnExistingTargetNeedsTheOverwriteFlag) {
  const std::u16string target = LocalPath("existing");
  WriteTextFile(target, "old");
  EXPECT_EQ(GetFile("\\One\\README.md", target), 1);
  EXPECT_TRUE(TakeRequests().empty());
  EXPECT_EQ(ReadTextFile(target), "old");
  EXPECT_EQ(GetFile("\\One\\README.md", target, 1), 0);
  EXPECT_EQ(ReadTextFile(target), "# model one\n");
  // A move is copied like a copy; the host's later delete of the source does nothing.
  EXPECT_EQ(GetFile("\\One\\README.md", LocalPath("moved"), 4), 0);
  EXPECT_EQ(ReadTextFile(LocalPath("moved")), "# model one\n");
}

TEST_F(Copy, NotFoundCases) {
  EXPECT_EQ(GetFile("\\Missing\\repo\\f.txt", LocalPath("a")), 2);
  EXPECT_EQ(GetFile("\\***_TEMPORARY_***\\repo\\f.txt", LocalPath("a")), 2);
  EXPECT_EQ(GetFile("\\Colls\\Favourites\\nothing\\f.txt", LocalPath("a")), 2);
  EXPECT_EQ(GetFile("\\One\\no-such-file.txt", LocalPath("a")), 2);  // the hub's 404
  EXPECT_FALSE(FileExists(LocalPath("a")));
}

TEST_F(Copy, NotSupportedCases) {
  EXPECT_EQ(GetFile("\\Files", LocalPath("a")), 6);
  EXPECT_EQ(GetFile("\\Files\\f.txt", LocalPath("a")), 6);
  EXPECT_EQ(GetFile("\\Colls\\Favourites\\basic", LocalPath("a")), 6);
  EXPECT_EQ(GetFile("\\One\\README.md", LocalPath("a"), 2), 6);  // resume is refused first
  EXPECT_TRUE(TakeRequests().empty());
  EXPECT_EQ(GetFile("\\Files\\[Load next 10 models]", LocalPath("a")), 6);
  EXPECT_EQ(CountWithPrefix(TakeRequests(), "/api/models?author=files-org&limit=10"), 1u);
  EXPECT_FALSE(FileExists(LocalPath("a")));
}

TEST_F(Copy, CancelAndFailuresLeaveNoFile) {
  {
    std::lock_guard<std::mutex> guard(g_host.lock);
    g_host.cancel_at_progress_call = 0;
  }
  EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("big")), 5);
  EXPECT_FALSE(FileExists(LocalPath("big")));
  g_host.Clear();

  module_.Unload();
  Configure(Entries(), "__fault/cut_at=1000/");
  EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("cut")), 3);
  EXPECT_FALSE(FileExists(LocalPath("cut")));
  module_.Unload();
  Configure(Entries(), "__fault/status=500/");
  EXPECT_EQ(GetFile("\\One\\README.md", LocalPath("err")), 3);
  EXPECT_FALSE(FileExists(LocalPath("err")));
  EXPECT_TRUE(g_host.Log().empty());  // only refusals are logged
}

TEST_F(Copy, BackgroundThreadsCopyToo) {
  int32_t a = -1, b = -1;
  std::thread ta([&] { a = GetFile("\\Files\\basic\\config.json", LocalPath("bg-a")); });
  std::thread tb([&] { b = GetFile("\\Colls\\Favourites\\basic\\config.json", LocalPath("bg-b")); });
  ta.join();
  tb.join();
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(ReadTextFile(LocalPath("bg-a")), ReadTextFile(LocalPath("bg-b")));
  EXPECT_EQ(ReadTextFile(LocalPath("bg-a")).size(), 41u);
}

}  // namespace
