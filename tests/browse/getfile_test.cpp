// Copying files out of every kind of entry through FsGetFileW, with each result the host can get:
// 0 copied, 1 target exists, 2 not found, 3 failed, 5 cancelled, 6 not supported.
#include <ctime>
#include <filesystem>

#include "browse/browse_fixture.h"

namespace {

class Copy : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    Configure(AllKinds());
  }
};

TEST_F(Copy, EveryEntryKindCopiesItsFilesOverAnExistingTargetOnlyWithTheFlag) {
  const struct { const char* remote; const char* request; std::string content; } cases[] = {
      {"\\Files\\basic\\README.md", "/files-org/basic/resolve/main/README.md", "# basic\n\nA small test model.\n"},
      {"\\Files\\basic\\donn\xc3\xa9" "es\\r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9.txt",
       "/files-org/basic/resolve/main/donn%C3%A9es/r%C3%A9sum%C3%A9%20%C3%A9t%C3%A9.txt", "non-ascii\n"},
      {"\\FilesDs\\dataset-one\\README.md", "/datasets/files-org/dataset-one/resolve/main/README.md",
       "# dataset-one\n"},
      {"\\Colls\\Favourites\\basic\\binary.dat", "/files-org/basic/resolve/main/binary.dat",
       std::string("\x00\x01\x02\x03\xff", 5)},
      {"\\One\\sub dir\\file one.txt", "/space%20owner/model%20one/resolve/main/sub%20dir/file%20one.txt", "one\n"},
      {"\\Data\\a b.csv", "/datasets/space%20owner/data%20one/resolve/main/a%20b.csv", "a,b\n1,2\n"},
      // Regression: a dataset entry's collection fetched its models' files under "datasets/".
      {"\\CollsDs\\Nested pick\\model one\\README.md", "/space%20owner/model%20one/resolve/main/README.md",
       "# model one\n"},
  };
  int n = 0;
  for (const auto& c : cases) {  // local names outside ASCII too
    const std::u16string target = LocalPath("r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9-" + std::to_string(++n));
    WriteTextFile(target, "old");
    EXPECT_EQ(GetFile(c.remote, target), 1) << c.remote;  // the target exists
    EXPECT_EQ(ReadTextFile(target), "old") << c.remote;
    TakeRequests();
    EXPECT_EQ(GetFile(c.remote, target, 1), 0) << c.remote;  // overwrite
    EXPECT_EQ(ReadTextFile(target), c.content) << c.remote;
    EXPECT_EQ(CountWithPrefix(TakeRequests(), c.request), 1u) << c.remote;
  }
}

// A copy's progress ends at 100 (local_hf_cache_test.cpp); an empty file's has nothing to count.
TEST_F(Copy, ProgressIsZeroWithoutATotal) {
  EXPECT_EQ(GetFile("\\Files\\basic\\empty.txt", LocalPath("e")), 0);
  ASSERT_FALSE(g_host.progress.empty());
  for (const auto& p : g_host.progress) EXPECT_EQ(p.second, 0);
}

TEST_F(Copy, PathsThatNameNoFileOrNoCopyAndCancelledCopies) {
  const struct { const char* remote; int32_t result; } cases[] = {
      {"\\Missing\\repo\\f.txt", 2}, {"\\***_TEMPORARY_***\\repo\\f.txt", 2},
      {"\\Colls\\Favourites\\nothing\\f.txt", 2}, {"\\One\\no-such-file.txt", 2},  // the last: the hub's 404
      {"\\Files", 6}, {"\\Files\\f.txt", 6}, {"\\Colls\\Favourites\\basic", 6}};
  for (const auto& c : cases) EXPECT_EQ(GetFile(c.remote, LocalPath("a")), c.result) << c.remote;
  g_host.Clear();
  g_host.cancel_at_progress_call = 0;
  EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("a")), 5);
  EXPECT_FALSE(FileExists(LocalPath("a")));
  EXPECT_TRUE(g_host.Log().empty());  // only refusals are logged
}

// A shorter file of the same name is offered for resume (7); the host's resume flag continues it, and
// the copy takes the hub's time of the file.
TEST_F(Copy, AShorterTargetIsResumedAndCopiesKeepTheHubsTime) {
  EXPECT_EQ(Names("\\Files\\basic").size(), 11u);  // the listing the host shows before a copy
  const std::string pattern = GeneratedBytes(3000000);
  WriteTextFile(LocalPath("big.bin"), pattern.substr(0, 1000000));
  WriteTextFile(LocalPath("readme"), "# basic\n\nA small test model.\nand one more line\n");
  EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("big.bin")), 7);
  EXPECT_EQ(GetFile("\\Files\\basic\\README.md", LocalPath("readme")), 1);  // not shorter
  TakeRequests();
  EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("big.bin"), 2), 0);
  EXPECT_TRUE(ReadTextFile(LocalPath("big.bin")) == pattern);
  const std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].path, "/files-org/basic/resolve/" + HubCommitOf("models", "files-org/basic") + "/big.bin");
  EXPECT_EQ(log[0].Header("range"), "bytes=1000000-");  // only what the target lacked

  EXPECT_EQ(GetFile("\\Files\\basic\\README.md", LocalPath("readme"), 1), 0);
  namespace fs = std::filesystem;
  WriteTextFile(LocalPath("now"), "");
  const auto age = fs::last_write_time(FsPath(LocalPath("now"))) - fs::last_write_time(FsPath(LocalPath("readme")));
  const int64_t expected = static_cast<int64_t>(std::time(nullptr)) - 1736928000;  // 2025-01-15T08:00:00Z
  EXPECT_NEAR(std::chrono::duration_cast<std::chrono::seconds>(age).count(), expected, 5);
}

// Fault: bytes that failed their hash were copied over the user's file when the fresh listing they
// asked for was refused or cut short: it named no hash, and no hash counted as a match.
TEST_F(Copy, AMismatchStandsUnlessAWholeFreshListingClearsIt) {
  Configure(AllKinds(), "__fault/wrong_hash/");
  EXPECT_EQ(Names("\\Files\\basic").size(), 11u);  // whole, cached, and naming other hashes than the bytes'
  // big.bin is on the listing's third page: a fresh listing that ends before it does not name it.
  for (const char* relisting : {"fail_page=2:503", "fail_page=3:429", "cut_at=100@2", "malformed@3"}) {
    Configure(AllKinds(), std::string("__fault/wrong_hash+") + relisting + "/");
    WriteTextFile(LocalPath("a"), "old");
    EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("a"), 1), 3) << relisting;
    EXPECT_TRUE(ReadTextFile(LocalPath("a")) == "old") << relisting;
    EXPECT_EQ(CountWithPrefix(g_host.Log(), "Download content mismatch: files-org/basic/big.bin expected="), 1u)
        << relisting;
  }
  // A whole fresh listing that names the bytes' hash: the cached one was older than the file.
  Configure(AllKinds());
  EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("a"), 1), 0);
  const std::string pattern = GeneratedBytes(3000000);
  EXPECT_TRUE(ReadTextFile(LocalPath("a")) == pattern);
}

}  // namespace
