// The local cache of the hub's Python tools: where its root is, which of its files may hold a listed
// file and which never do, and the copy that hashes what it copies.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <sstream>
#include <system_error>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "core/text.h"
#include "hub/content_hash.h"
#include "hub/local_hf_cache.h"
#include "platform/platform.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

#if defined(_WIN32)
const char* const kHomeVariable = "USERPROFILE";
#else
const char* const kHomeVariable = "HOME";
#endif

std::string Pattern(size_t size, size_t shift = 0) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i + shift) % 251);
  return bytes;
}

ContentCheck CheckOf(const std::string& hex, bool git_blob) {
  ListedContent listed;
  (git_blob ? listed.oid : listed.lfs_oid) = hex;
  return ContentCheckFor(listed);
}

// The listing's hash of `bytes`: the git blob id of a small file, SHA-256 of a large one.
std::string Digest(const std::string& bytes, bool git_blob) {
  ContentCheck check = CheckOf(std::string(git_blob ? 40 : 64, '0'), git_blob);
  ContentHasher hasher;
  EXPECT_TRUE(hasher.Begin(check, static_cast<int64_t>(bytes.size())));
  hasher.Update(bytes.data(), bytes.size());
  return hasher.EndHex();
}

std::u16string Below(std::u16string path, const std::string& relative) {
  std::istringstream names(relative);
  for (std::string name; std::getline(names, name, '/');) path = JoinFsPath(path, Utf8ToWide(name));
  return path;
}

class LocalHfCache : public ::testing::Test {
 protected:
  std::string revision_ = "main";  // the revision the file was listed at
  void TearDown() override { IsolateLocalHfCache(); }

  void Put(const std::string& relative, const std::string& bytes) { WriteTextFile(Below(root_, relative), bytes); }
  void SetTime(const std::string& relative, int seconds_ago) {  // a folder's too, on either system
    ASSERT_TRUE(PlatformSetFileTime(Below(root_, relative), static_cast<int64_t>(std::time(nullptr)) - seconds_ago))
        << relative;
  }
  // What the look-up found, relative to the root with "/" separators ("../" when outside it).
  std::vector<std::string> Found(const std::string& repo, RepoType repo_type, const std::string& path,
                                 const ContentCheck& check, int64_t size, const std::u16string& root = u"") {
    const fs::path resolved_root = FsPath(PlatformResolvedPath(root_));
    std::vector<std::string> found;
    for (const std::u16string& file :
         FindInLocalHfCache(root.empty() ? root_ : root, repo, repo_type, revision_, path, check, size)) {
      found.push_back(WideToUtf8(FsPath(file).lexically_relative(resolved_root).generic_u16string()));
    }
    return found;
  }

  std::u16string root_ = MakeTempFolder("hf-hub");
};

}  // namespace

TEST_F(LocalHfCache, TheRootIsTheHubCacheThenHfHomeThenTheHomeFolder) {
  const std::u16string saved_home = PlatformEnvironment(kHomeVariable);
  const std::u16string home = MakeTempFolder("home"), elsewhere = MakeTempFolder("hf-home");
  const std::u16string sep(1, PlatformPathSeparator());
  SetEnvironment(kHomeVariable, home);
  const struct {
    std::u16string hub_cache, hf_home, root;
  } cases[] = {
      {root_, elsewhere, root_},
      {u"~" + sep + u"hub-cache", elsewhere, home + sep + u"hub-cache"},
      {u"", elsewhere, JoinFsPath(elsewhere, u"hub")},
      {u"", u"~", JoinFsPath(home, u"hub")},
      {u"", u"~someone", JoinFsPath(u"~someone", u"hub")},  // another user's home is not looked up
      {u"", u"", JoinFsPath(JoinFsPath(JoinFsPath(home, u".cache"), u"huggingface"), u"hub")},
  };
  for (const auto& c : cases) {
    SetEnvironment("HF_HUB_CACHE", c.hub_cache);
    SetEnvironment("HF_HOME", c.hf_home);
    EXPECT_EQ(WideToUtf8(LocalHfCacheRoot()), WideToUtf8(c.root)) << WideToUtf8(c.hub_cache + u" " + c.hf_home);
  }
  SetEnvironment(kHomeVariable, saved_home);
}

TEST_F(LocalHfCache, TheBlobNamedByTheListedHashComesFirstThenSnapshotCopiesOfTheListedSize) {
  // A large file: its blob is named by its SHA-256; a plain copy in a snapshot beside it is not needed.
  const std::string weights = Pattern(5000), sha = Digest(weights, false);
  const ContentCheck large = CheckOf(sha, false);
  Put("models--o--m/blobs/" + sha, weights);
  Put("models--o--m/snapshots/c1/w.bin", weights);
  EXPECT_EQ(Found("o/m", ModelRepo, "w.bin", large, 5000), std::vector<std::string>{"models--o--m/blobs/" + sha});
  EXPECT_EQ(Found("o/m", ModelRepo, "w.bin", large, -1), std::vector<std::string>{"models--o--m/blobs/" + sha});
  EXPECT_TRUE(Found("o/m", DatasetRepo, "w.bin", large, 5000).empty());  // a dataset of that name has none
  Put("spaces--o--m/blobs/" + sha, weights);  // a Space's folder is its own
  EXPECT_EQ(Found("o/m", SpaceRepo, "w.bin", large, 5000), std::vector<std::string>{"spaces--o--m/blobs/" + sha});
  EXPECT_TRUE(Found("o/m", ModelRepo, "w.bin", large, 4999).empty());   // neither the blob nor the copy has that size
  // Nothing to check the bytes against (a masked hash too: tests/browse/local_hf_cache_test.cpp).
  EXPECT_TRUE(Found("o/m", ModelRepo, "w.bin", ContentCheck(), 5000).empty());

  // A small file in a repository without its blob: copies in snapshots of the listed size, the one
  // the cache's "main" names first, then the newest, three at most.
  const std::string config = "{\"a\": 1}\n", git = Digest(config, true);
  const ContentCheck small = CheckOf(git, true);
  Put("models--o--s/refs/main", "c4\n");
  const int ages[] = {400, 300, 200, 500, 100, 50};
  for (int i = 1; i <= 6; ++i) {
    const std::string snapshot = "models--o--s/snapshots/c" + std::to_string(i);
    Put(snapshot + "/sub/config.json", i == 3 ? config + " " : i == 6 ? "" : config);
    SetTime(snapshot, ages[i - 1]);
  }
  EXPECT_EQ(Found("o/s", ModelRepo, "sub/config.json", small, static_cast<int64_t>(config.size())),
            (std::vector<std::string>{"models--o--s/snapshots/c4/sub/config.json",
                                      "models--o--s/snapshots/c5/sub/config.json",
                                      "models--o--s/snapshots/c2/sub/config.json"}));
  EXPECT_TRUE(Found("o/s", ModelRepo, "sub/config.json", small, -1).empty());  // a copy is taken at the listed size only
  EXPECT_TRUE(Found("o/s", ModelRepo, "sub", small, static_cast<int64_t>(config.size())).empty());  // a folder is no file

  // Listed at another revision, its snapshot comes first: a branch or tag has a ref file naming its
  // commit (a ref such as refs/pr/1 one below refs/refs), a commit is its own snapshot's name; one the
  // cache does not name, or no revision at all, leaves the newest first.
  const std::string commit = "0123456789abcdef0123456789abcdef01234567";
  Put("models--o--s/refs/step1000", "c1\n");
  Put("models--o--s/refs/refs/pr/1", "c2\n");
  Put("models--o--s/snapshots/" + commit + "/sub/config.json", config);
  SetTime("models--o--s/snapshots/" + commit, 600);  // the oldest
  for (const auto& [revision, first] : std::vector<std::pair<std::string, std::string>>{
           {"step1000", "c1"}, {"refs/pr/1", "c2"}, {commit, commit}, {"no-such-branch", "c5"}, {"../main", "c5"}}) {
    revision_ = revision;
    const std::vector<std::string> found = Found("o/s", ModelRepo, "sub/config.json", small, static_cast<int64_t>(config.size()));
    ASSERT_FALSE(found.empty()) << revision;
    EXPECT_EQ(found[0], "models--o--s/snapshots/" + first + "/sub/config.json") << revision;
  }
}

TEST_F(LocalHfCache, NamesThatCouldLeaveTheirFolderFindNothing) {
  const std::string bytes = "kept\n", git = Digest(bytes, true);
  const ContentCheck check = CheckOf(git, true);
  Put("models--o--m/snapshots/c1/dir/f.txt", bytes);
  Put("models--o--m/snapshots/c1/x/other.txt", "");
  Put("models--o--m/blobs/" + git, bytes);
  ASSERT_EQ(Found("o/m", ModelRepo, "dir/f.txt", check, 5).size(), 1u);
  ASSERT_EQ(Found("o/m", ModelRepo, "x/../dir/f.txt", check, -1).size(), 0u);  // even for the blob
  for (const char* path : {"x/../dir/f.txt", "./dir/f.txt", "dir//f.txt", "dir/f.txt/", "", "dir\\f.txt",
                           "c:dir/f.txt", "dir/f.txt:stream", "dir/f\x01.txt"}) {
    EXPECT_TRUE(Found("o/m", ModelRepo, path, check, 5).empty()) << path;
  }
  for (const char* repo : {"o", "o/m/x", "../o/m", "o/..", "o\\m", "/m", "o/", "c:o/m"}) {
    EXPECT_TRUE(Found(repo, ModelRepo, "dir/f.txt", check, 5).empty()) << repo;
  }
  EXPECT_TRUE(Found("o/m", ModelRepo, "dir/f.txt", check, 5, JoinFsPath(root_, u"missing")).empty());
}

#if !defined(_WIN32)
// The cache's own links are relative links to blobs; a link elsewhere is followed only to a regular file
// that stays inside the root (the root itself may be reached through a link).
TEST_F(LocalHfCache, LinksAreFollowedOnlyToRegularFilesInsideTheRoot) {
  const std::string weights = Pattern(3000), other = Pattern(3000, 7), sha = Digest(weights, false);
  const ContentCheck check = CheckOf(sha, false);
  Put("shared/w.bin", weights);
  const std::u16string outside = JoinFsPath(MakeTempFolder("outside"), u"w.bin");
  WriteTextFile(outside, weights);
  Put("models--o--m/blobs/" + Digest(other, false), other);  // another version of the file
  const auto link = [this](const std::string& target, const std::string& at) {
    const std::u16string path = Below(root_, at);
    fs::create_directories(FsPath(path).parent_path());
    fs::create_symlink(target, FsPath(path));
  };
  link("../../blobs/" + Digest(other, false), "models--o--m/snapshots/c1/w.bin");
  link(WideToUtf8(outside), "models--o--m/snapshots/c2/w.bin");
  link("../../../shared/w.bin", "models--o--m/snapshots/c3/w.bin");
  link("../c3/w.bin", "models--o--m/snapshots/c4/w.bin");  // the same file once more
  link("../../missing", "models--o--m/snapshots/c5/w.bin");
  fs::create_directories(FsPath(Below(root_, "models--o--m/snapshots/c6")));
  ASSERT_EQ(::mkfifo(WideToUtf8(Below(root_, "models--o--m/snapshots/c6/pipe")).c_str(), 0600), 0);
  link("pipe", "models--o--m/snapshots/c6/w.bin");
  EXPECT_EQ(Found("o/m", ModelRepo, "w.bin", check, 3000), std::vector<std::string>{"shared/w.bin"});

  link(WideToUtf8(outside), "models--o--n/blobs/" + sha);  // a blob that leads out of the root
  EXPECT_TRUE(Found("o/n", ModelRepo, "w.bin", check, 3000).empty());
  link("../../shared/w.bin", "models--o--p/blobs/" + sha);
  EXPECT_EQ(Found("o/p", ModelRepo, "w.bin", check, 3000), std::vector<std::string>{"shared/w.bin"});

  const std::u16string through = JoinFsPath(MakeTempFolder("root-link"), u"hub");
  fs::create_symlink(FsPath(root_), FsPath(through));
  EXPECT_EQ(Found("o/p", ModelRepo, "w.bin", check, 3000, through), std::vector<std::string>{"shared/w.bin"});
}
#endif

TEST(CopyLocalFile, CopiesAndHashesTheBytesAndFailsOnAShortSourceOrWithoutACheck) {
  const std::u16string folder = MakeTempFolder("local-copy");
  const std::u16string source = JoinFsPath(folder, u"source"), target = JoinFsPath(folder, u"target");
  const std::string bytes = Pattern((9 << 20) + 5);  // the ring of blocks goes round twice
  const int64_t size = static_cast<int64_t>(bytes.size());
  WriteTextFile(source, bytes);  // left as it was: the inventories of tests/browse/local_hf_cache_test.cpp

  for (const bool git_blob : {false, true}) {
    std::vector<std::pair<int64_t, int64_t>> reports;
    const ProgressFn progress = [&reports](int64_t done, int64_t total) {
      reports.push_back({done, total});
      return true;
    };
    const LocalCopy copy = CopyLocalFile(source, target, CheckOf(Digest(bytes, git_blob), git_blob), size, &progress);
    EXPECT_EQ(copy.end, LocalCopy::End::Done);
    EXPECT_EQ(copy.digest_hex, Digest(bytes, git_blob));
    EXPECT_TRUE(ReadTextFile(target) == bytes);
    ASSERT_GE(reports.size(), 10u);  // a report at every percent
    EXPECT_EQ(reports.front(), std::make_pair(int64_t(0), size));
    for (size_t i = 1; i < reports.size(); ++i) EXPECT_GT(reports[i].first, reports[i - 1].first);
  }
  // The first `size` bytes only; the digest says what they are.
  const LocalCopy prefix = CopyLocalFile(source, target, CheckOf(Digest(bytes, false), false), 1000, nullptr);
  EXPECT_EQ(prefix.digest_hex, Digest(bytes.substr(0, 1000), false));
  EXPECT_EQ(ReadTextFile(target), bytes.substr(0, 1000));

  // A cancel: through the module in tests/browse/local_hf_cache_test.cpp, which checks the target too.
  const ContentCheck check = CheckOf(Digest(bytes, false), false);
  EXPECT_EQ(CopyLocalFile(source, target, check, size + 1, nullptr).end, LocalCopy::End::Failed);
  EXPECT_EQ(CopyLocalFile(source, JoinFsPath(folder, u"missing/target"), check, size, nullptr).end,
            LocalCopy::End::Failed);
  EXPECT_EQ(CopyLocalFile(source, target, ContentCheck(), size, nullptr).end, LocalCopy::End::Failed);
}
