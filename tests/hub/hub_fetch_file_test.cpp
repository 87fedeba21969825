// DownloadFile against the fake hub: bytes on disk, results, progress, URLs, redirects and the key,
// and the local folder afterwards (no partial or temporary file, an existing target kept on failure).
#include <gtest/gtest.h>

#include <filesystem>

#include "hub/download.h"
#include "plugin/state.h"
#include "plugin/text.h"
#include "support/fakehub_client.h"
#include "support/test_env.h"

namespace {

struct Report {
  int64_t done;
  int64_t total;
};

class HubFetchFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(HubUrl().empty()) << "run through tools/fakehub/run_with_hub.py";
    UseFakeHub();
    ResetHubLog();
    folder_ = MakeTempFolder("hub-fetch");
    target_ = JoinFsPath(folder_, u"target.bin");
  }
  void TearDown() override { UseFakeHub(); }

  static void WithFault(const std::string& mode) {
    StateLock guard(g_state.lock);
    g_state.hub_site_url = HubUrl() + "__fault/" + mode + "/";
  }
  DownloadResult Fetch(const std::string& repo, const std::string& path, const std::string& key = "",
                       uint32_t is_dataset = 0, int cancel_at = -1) {
    reports_.clear();
    return DownloadFile(repo, path, target_, key, [this, cancel_at](int64_t done, int64_t total) {
      reports_.push_back({done, total});
      return static_cast<int>(reports_.size()) != cancel_at;
    }, is_dataset);
  }
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(FsPath(folder_))) {
      names.push_back(WideToUtf8(std::u16string(e.path().filename().u16string())));
    }
    return names;
  }
  static std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
  }

  std::u16string folder_;
  std::u16string target_;
  std::vector<Report> reports_;
};

}  // namespace

TEST_F(HubFetchFile, WritesTheBytesAndReportsProgressUpToTheTotal) {
  ASSERT_EQ(Fetch("files-org/basic", "big.bin"), DownloadOk);
  EXPECT_TRUE(ReadTextFile(target_) == Pattern(3000000)) << "content differs";
  ASSERT_GE(reports_.size(), 2u);
  for (size_t i = 1; i < reports_.size(); ++i) EXPECT_GE(reports_[i].done, reports_[i - 1].done);
  for (const Report& r : reports_) EXPECT_EQ(r.total, 3000000);
  EXPECT_EQ(reports_.back().done, 3000000);
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"target.bin"}));

  const std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].path, "/files-org/basic/resolve/main/big.bin");
  EXPECT_EQ(log[0].Header("User-Agent"), "tarnfs/1.0");
  bool found = true;
  log[0].Header("Authorization", &found);
  EXPECT_FALSE(found);
}

TEST_F(HubFetchFile, EmptyFilesAndBodiesWithoutLength) {
  ASSERT_EQ(Fetch("files-org/basic", "empty.txt"), DownloadOk);
  EXPECT_TRUE(FileExists(target_));
  EXPECT_EQ(ReadTextFile(target_), "");
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].done, 0);
  EXPECT_EQ(reports_[0].total, 0);

  WithFault("no_length");
  ASSERT_EQ(Fetch("files-org/basic", "big.bin"), DownloadOk);
  EXPECT_EQ(ReadTextFile(target_).size(), 3000000u);
  for (const Report& r : reports_) EXPECT_EQ(r.total, -1);
  EXPECT_EQ(reports_.back().done, 3000000);
}

TEST_F(HubFetchFile, RefusedMissingAndBrokenDownloadsLeaveNothingBehind) {
  struct Case {
    const char* fault;
    const char* repo;
    const char* path;
    const char* key;
    DownloadResult expected;
  };
  const Case cases[] = {
      {nullptr, "gated-org/gated-model", "config.json", "", DownloadDenied},
      {nullptr, "gated-org/gated-model", "config.json", "hf_test_nogrant", DownloadDenied},
      {nullptr, "files-org/basic", "no-such-file", "", DownloadNotFound},
      {nullptr, "files-org/disabled-model", "README.md", "", DownloadDenied},
      {"status=500", "files-org/basic", "README.md", "", DownloadFailed},
      {"cut_at=1000", "files-org/basic", "big.bin", "", DownloadFailed},
      {"cut_at=100000", "files-org/basic", "weights.safetensors", "", DownloadFailed},
      // A length beyond what arrives: what Wine's WinHTTP does to bodies over 2 GiB looks like this.
      {"fake_length=4294967296", "files-org/basic", "big.bin", "", DownloadFailed},
      {"redirect_loop", "files-org/basic", "README.md", "", DownloadFailed},
  };
  for (const Case& c : cases) {
    UseFakeHub();
    if (c.fault) WithFault(c.fault);
    EXPECT_EQ(Fetch(c.repo, c.path, c.key), c.expected) << c.repo << " " << c.path << " " << (c.fault ? c.fault : "");
    EXPECT_TRUE(FolderNames().empty()) << c.path;
  }
}

// Fault: a failed or cancelled copy deleted the file the user already had under that name.
TEST_F(HubFetchFile, AnExistingTargetSurvivesFailureAndCancelAndIsReplacedOnSuccess) {
  WriteTextFile(target_, "the user's own file");
  WithFault("cut_at=1000");
  EXPECT_EQ(Fetch("files-org/basic", "big.bin"), DownloadFailed);
  EXPECT_EQ(ReadTextFile(target_), "the user's own file");
  UseFakeHub();
  EXPECT_EQ(Fetch("files-org/basic", "big.bin", "", 0, /*cancel_at=*/1), DownloadCancelled);
  EXPECT_EQ(reports_.size(), 1u);
  EXPECT_EQ(ReadTextFile(target_), "the user's own file");
  EXPECT_EQ(Fetch("files-org/basic", "no-such-file"), DownloadNotFound);
  EXPECT_EQ(ReadTextFile(target_), "the user's own file");
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"target.bin"}));

  ASSERT_EQ(Fetch("files-org/basic", "README.md"), DownloadOk);
  EXPECT_EQ(ReadTextFile(target_), "# basic\n\nA small test model.\n");
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"target.bin"}));
}

TEST_F(HubFetchFile, ModelAndDatasetUrlsAreEncodedByteByByte) {
  ASSERT_EQ(Fetch("files-org/dataset-one", "data/train.csv", "", 1), DownloadOk);
  EXPECT_EQ(ReadTextFile(target_), "id,text\n1,hello\n2,world\n");
  ASSERT_EQ(Fetch("space owner/model one", "sub dir/file one.txt"), DownloadOk);
  EXPECT_EQ(ReadTextFile(target_), "one\n");
  ASSERT_EQ(Fetch("files-org/basic", "donn\xc3\xa9""es/r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9.txt"), DownloadOk);
  EXPECT_EQ(ReadTextFile(target_), "non-ascii\n");
  ASSERT_EQ(Fetch("files-org/basic", "binary.dat"), DownloadOk);
  EXPECT_EQ(ReadTextFile(target_), std::string("\x00\x01\x02\x03\xff", 5));
  // A local name outside ASCII.
  target_ = JoinFsPath(folder_, u"r\u00e9sum\u00e9 \u00e9t\u00e9.txt");
  ASSERT_EQ(Fetch("caf\xc3\xa9-org/caf\xc3\xa9-model", "README.md"), DownloadOk);
  EXPECT_EQ(ReadTextFile(target_), "# caf\xc3\xa9\n");

  std::vector<std::string> paths;
  for (const LoggedRequest& r : FetchHubLog()) paths.push_back(r.path);
  EXPECT_EQ(paths, (std::vector<std::string>{
                       "/datasets/files-org/dataset-one/resolve/main/data/train.csv",
                       "/space%20owner/model%20one/resolve/main/sub%20dir/file%20one.txt",
                       "/files-org/basic/resolve/main/donn%C3%A9es/r%C3%A9sum%C3%A9%20%C3%A9t%C3%A9.txt",
                       "/files-org/basic/resolve/main/binary.dat",
                       "/caf%C3%A9-org/caf%C3%A9-model/resolve/main/README.md"}));
}

// Fault: the hub's bearer key went along to whatever host a download was redirected to.
TEST_F(HubFetchFile, RedirectsToAnotherHostCarryNoKey) {
  ASSERT_EQ(Fetch("gated-org/gated-model", "model.safetensors", "hf_test_good"), DownloadOk);
  EXPECT_TRUE(ReadTextFile(target_) == Pattern(100000));
  ASSERT_EQ(Fetch("files-org/basic", "README.md", "hf_test_good"), DownloadOk);
  WithFault("redirect_host2");
  ASSERT_EQ(Fetch("files-org/basic", "README.md", "hf_test_good"), DownloadOk);
  EXPECT_EQ(ReadTextFile(target_), "# basic\n\nA small test model.\n");
  WithFault("redirect_relative");
  ASSERT_EQ(Fetch("files-org/basic", "README.md", "hf_test_good"), DownloadOk);

  const std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_EQ(log.size(), 7u);
  const struct {
    const char* host;
    int status;
    bool key;
  } expected[] = {{"hub", 302, true},  {"host2", 200, false}, {"hub", 200, true}, {"hub", 302, true},
                  {"host2", 200, false}, {"hub", 307, true},  {"hub", 200, true}};
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].host, expected[i].host) << i;
    EXPECT_EQ(log[i].status, expected[i].status) << i;
    bool found = false;
    const std::string auth = log[i].Header("Authorization", &found);
    EXPECT_EQ(found, expected[i].key) << i << " " << log[i].path;
    if (found) EXPECT_EQ(auth, "Bearer hf_test_good");
  }
  EXPECT_EQ(log[1].path.rfind("/cdn/models/gated-org/gated-model/model.safetensors", 0), 0u) << log[1].path;
}

TEST_F(HubFetchFile, TheKeyStaysDroppedWhenTheChainReturnsToTheHub) {
  // hub -> host 2 -> back to the hub: the gated file is refused because the key never comes back.
  WithFault("redirect_host2/redirect_back");
  EXPECT_EQ(Fetch("gated-org/gated-model", "config.json", "hf_test_good"), DownloadDenied);
  const std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].Header("Authorization"), "Bearer hf_test_good");
  EXPECT_EQ(log[1].host, "host2");
  EXPECT_EQ(log[2].host, "hub");
  EXPECT_EQ(log[2].path, "/gated-org/gated-model/resolve/main/config.json");
  EXPECT_EQ(log[2].status, 401);
  for (size_t i = 1; i < log.size(); ++i) {
    bool found = true;
    log[i].Header("Authorization", &found);
    EXPECT_FALSE(found) << i;
  }
  EXPECT_TRUE(FolderNames().empty());
}
