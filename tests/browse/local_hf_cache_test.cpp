// Files that the hub's Python tools already hold in their local cache, copied out of the tree through
// FsGetFileW: taken from there instead of downloaded only when the listing's hash vouches for the
// bytes, never once the setting is off, and the cache is left exactly as it was.
#include <filesystem>
#include <sstream>
#include <system_error>

#include "browse/browse_fixture.h"
#include "hub/content_hash.h"

namespace fs = std::filesystem;

namespace {

const std::string kCommit(40, 'c');
const std::string kReadme = "# basic\n\nA small test model.\n";
const std::string kTrainCsv = "id,text\n1,hello\n2,world\n";

// The listing's hash of `bytes`: the git blob id of a small file, SHA-256 of a large one.
std::string Digest(const std::string& bytes, bool git_blob) {
  ContentCheck check;
  check.algorithm = git_blob ? HashAlgorithm::Sha1 : HashAlgorithm::Sha256;
  check.git_blob = git_blob;
  ContentHasher hasher;
  EXPECT_TRUE(hasher.Begin(check, static_cast<int64_t>(bytes.size())));
  hasher.Update(bytes.data(), bytes.size());
  return hasher.EndHex();
}

// Every name below `root` with its kind, size, time and link target: what "unchanged" compares.
std::vector<std::string> Inventory(const std::u16string& root) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(FsPath(root), ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::ostringstream line;
    line << it->path().lexically_relative(FsPath(root)).u8string();
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      line << " -> " << fs::read_symlink(it->path(), ec).u8string();
    } else {
      line << (fs::is_directory(status) ? " dir " : " file ") << (fs::is_regular_file(status) ? fs::file_size(it->path()) : 0)
           << " " << fs::last_write_time(it->path(), ec).time_since_epoch().count();
    }
    lines.push_back(line.str());
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

class LocalCache : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    hf_ = MakeTempFolder("hf-hub");
    SetEnvironment("HF_HUB_CACHE", hf_);
  }
  void TearDown() override { IsolateLocalHfCache(); }

  // Loads the module with these favorites.json members and lists the folders the copies come from, as
  // the host does before a copy (the listing names the hashes).
  void Start(const std::string& hub_suffix = "", const json& options = json::object()) {
    Configure(AllKinds(), hub_suffix, "", options);
    ASSERT_EQ(Names("\\Files\\basic").size(), 11u);
    ASSERT_EQ(Names("\\FilesDs\\dataset-one\\data").size(), 2u);
    TakeRequests();
    g_host.Clear();
  }
  std::u16string Put(const std::string& relative, const std::string& bytes) {
    std::u16string path = hf_;
    std::istringstream names(relative);
    for (std::string name; std::getline(names, name, '/');) path = JoinFsPath(path, Utf8ToWide(name));
    WriteTextFile(path, bytes);
    return path;
  }
  // Downloads the hub saw since the last call.
  size_t Downloads() {
    size_t n = 0;
    for (const std::string& path : TakeRequests()) n += path.find("/resolve/") != std::string::npos ? 1 : 0;
    return n;
  }
  std::set<std::string> DownloadFolder() {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(FsPath(downloads_))) names.insert(item.path().filename().u8string());
    return names;
  }

  std::u16string hf_;
};

TEST_F(LocalCache, ABlobOrASnapshotCopyIsCopiedInsteadOfDownloaded) {
  const std::string weights = GeneratedBytes(1048576), big = GeneratedBytes(3000000);
  Put("models--files-org--basic/blobs/" + Digest(weights, false), weights);       // a large file by its SHA-256
  Put("models--files-org--basic/snapshots/" + kCommit + "/README.md", kReadme);  // a plain copy, no blob
  Put("datasets--files-org--dataset-one/blobs/" + Digest(kTrainCsv, true), kTrainCsv);  // by its git blob id
  Put("models--files-org--basic/blobs/" + Digest(big, true), big);
  struct Case {
    const char *remote, *local;
    std::string content;
  };
  std::vector<Case> cases = {{"\\Files\\basic\\weights.safetensors", "w", weights},
                             {"\\Files\\basic\\README.md", "readme", kReadme},
                             {"\\FilesDs\\dataset-one\\data\\train.csv", "train", kTrainCsv}};
#if !defined(_WIN32)
  // Through a link in a snapshot that stays inside the cache; the listing names the file's real hash.
  const std::string config = "{\"model_type\": \"bert\", \"hidden_size\": 8}\n";  // config.json of files-org/basic
  Put("shared/config.json", config);
  fs::create_symlink("../../../shared/config.json",
                     FsPath(JoinFsPath(JoinFsPath(hf_, u"models--files-org--basic/snapshots/" + Utf8ToWide(kCommit)),
                                       u"config.json")));
  cases.insert(cases.begin(), {"\\Files\\basic\\config.json", "config", config});  // train.csv last: its log line is read below
#endif
  Start();
  const std::vector<std::string> before = Inventory(hf_);
  for (const Case& c : cases) {
    g_host.Clear();
    EXPECT_EQ(GetFile(c.remote, LocalPath(c.local)), 0) << c.remote;
    EXPECT_TRUE(ReadTextFile(LocalPath(c.local)) == c.content) << c.remote;
    ASSERT_FALSE(g_host.progress.empty()) << c.remote;
    EXPECT_EQ(g_host.progress.back().second, 100) << c.remote;
    EXPECT_EQ(CountWithPrefix(g_host.Log(), "Copied from the local HuggingFace cache: "), 1u) << c.remote;
  }
  EXPECT_TRUE(g_host.HasLogLine("Copied from the local HuggingFace cache: files-org/dataset-one/data/train.csv"));
  // The host's resume of a shorter target takes the whole file from the cache as well.
  WriteTextFile(LocalPath("big"), big.substr(0, 1000000));
  EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("big")), 7);
  EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("big"), 2), 0);
  EXPECT_TRUE(ReadTextFile(LocalPath("big")) == big);
  EXPECT_EQ(Downloads(), 0u);
  std::set<std::string> copied = {"big"};
  for (const Case& c : cases) copied.insert(c.local);
  EXPECT_EQ(DownloadFolder(), copied);  // no part file left
  EXPECT_EQ(Inventory(hf_), before);
  // Turned off, the same copy is the hub's download.
  Start("", {{"use_local_hf_cache", false}});
  EXPECT_EQ(GetFile("\\Files\\basic\\weights.safetensors", LocalPath("w"), 1), 0);
  EXPECT_TRUE(ReadTextFile(LocalPath("w")) == weights);
  EXPECT_EQ(Downloads(), 1u);
  EXPECT_EQ(CountWithPrefix(g_host.Log(), "Copied from the local HuggingFace cache: "), 0u);
}

TEST_F(LocalCache, OnlyBytesTheListedHashVouchesForAreTaken) {
  std::string weights = GeneratedBytes(1048576);
  const std::string sha = Digest(weights, false);
  weights[500000] ^= 1;  // damaged, or of another version: the size alone says nothing
  const std::u16string damaged = Put("models--files-org--basic/blobs/" + sha, weights);
  std::string readme = kReadme;
  readme[2] = 'B';
  Put("models--files-org--basic/snapshots/" + kCommit + "/README.md", readme);
  Start();
  const std::vector<std::string> before = Inventory(hf_);
  EXPECT_EQ(GetFile("\\Files\\basic\\weights.safetensors", LocalPath("w")), 0);
  EXPECT_TRUE(ReadTextFile(LocalPath("w")) == GeneratedBytes(1048576));
  EXPECT_TRUE(g_host.HasLogLine("Local HuggingFace cache file does not match the listing: " +
                                WideToUtf8(PlatformResolvedPath(damaged))));
  EXPECT_EQ(GetFile("\\Files\\basic\\README.md", LocalPath("readme")), 0);
  EXPECT_EQ(ReadTextFile(LocalPath("readme")), kReadme);
  EXPECT_EQ(Downloads(), 2u);  // both fell back to the hub
  EXPECT_EQ(CountWithPrefix(g_host.Log(), "Copied from the local HuggingFace cache: "), 0u);

  // A listing that masks the large file's hash (a gated repository without access) vouches for
  // nothing, not even for the right bytes of the right size.
  Put("models--files-org--basic/snapshots/" + kCommit + "/weights.safetensors", GeneratedBytes(1048576));
  config_ = ResetConfigFolder();  // no cached listing that names the hash
  SetEnvironment("HF_HUB_CACHE", hf_);
  Start("__fault/mask_hash/");
  EXPECT_EQ(GetFile("\\Files\\basic\\weights.safetensors", LocalPath("w2")), 0);
  EXPECT_EQ(Downloads(), 1u);
  EXPECT_EQ(CountWithPrefix(g_host.Log(), "Copied from the local HuggingFace cache: "), 0u);
  EXPECT_EQ(DownloadFolder(), (std::set<std::string>{"readme", "w", "w2"}));
  EXPECT_EQ(Inventory(hf_).size(), before.size() + 1);
  EXPECT_TRUE(ReadTextFile(damaged) == weights);
}

TEST_F(LocalCache, ACancelDuringTheCopyLeavesTheTargetAsItWasAndDownloadsNothing) {
  const std::string big = GeneratedBytes(3000000);
  Put("models--files-org--basic/blobs/" + Digest(big, true), big);
  Start();
  const std::vector<std::string> before = Inventory(hf_);
  for (const bool existing : {false, true}) {
    if (existing) WriteTextFile(LocalPath("big"), "the user's own file");
    g_host.Clear();
    g_host.cancel_at_progress_call = 1;  // the second report: a third of the file is copied
    EXPECT_EQ(GetFile("\\Files\\basic\\big.bin", LocalPath("big"), 1), 5) << existing;
    EXPECT_EQ(g_host.progress_calls, 2) << existing;
    EXPECT_EQ(DownloadFolder(), existing ? std::set<std::string>{"big"} : std::set<std::string>{}) << existing;
    if (existing) EXPECT_EQ(ReadTextFile(LocalPath("big")), "the user's own file");
  }
  EXPECT_EQ(Downloads(), 0u);
  EXPECT_EQ(Inventory(hf_), before);
}

}  // namespace
