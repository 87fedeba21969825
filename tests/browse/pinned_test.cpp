// Listings pinned to the hub's commits, through the module against the fake hub: a revision resolved at
// most once per check interval (a commit never), records current at the same commit whatever their age,
// a change on the hub shown at the first listing after the check, copies at the listing's commit, the
// offline cache and a hub that cannot be asked as before, and the commits the module notes as its own.
#include <filesystem>

#include "browse/browse_fixture.h"
#include "cache/tree_commits.h"
#include "core/time.h"

namespace {

using Strings = std::vector<std::string>;

const char* const kMoving = "pin-org/moving";  // the one repository these tests commit to

std::string RevisionRequest(const std::string& repo, const std::string& revision = "main") {
  std::string path = "/api/models/" + repo + "/revision/" + revision + "?expand=sha";
  for (size_t at = 0; (at = path.find(' ', at)) != std::string::npos;) path.replace(at, 1, "%20");
  return path;
}

std::string TreeRequest(const std::string& repo, const std::string& commit, const std::string& rest) {
  std::string path = "/api/models/" + repo + "/tree/" + commit + rest;
  for (size_t at = 0; (at = path.find(' ', at)) != std::string::npos;) path.replace(at, 1, "%20");
  return path;
}

std::string GitBlobId(const std::string& bytes) {
  PlatformHashState* hash = PlatformHashBegin(HashAlgorithm::Sha1);
  const std::string header = "blob " + std::to_string(bytes.size()) + std::string(1, '\0');
  PlatformHashUpdate(hash, header.data(), header.size());
  PlatformHashUpdate(hash, bytes.data(), bytes.size());
  return PlatformHashEnd(hash);
}

// "name size" of each record, in listing order.
Strings Sized(const std::vector<ListedRecord>& records) {
  Strings out;
  for (const ListedRecord& r : records) out.push_back(r.name + (r.folder ? "/" : " " + std::to_string(r.size)));
  return out;
}

class Pinned : public BrowseTest {
 protected:
  // As if `seconds` had passed since the repository's revision was last asked for.
  void AgeCheck(const std::string& repo, int64_t seconds, const std::string& revision = "main") {
    RevisionRecord record;
    ASSERT_TRUE(ReadRevisionRecord(CacheFolderPath(), repo, ModelRepo, revision, &record)) << repo;
    record.checked_at -= seconds;
    ASSERT_TRUE(WriteRevisionRecord(CacheFolderPath(), repo, ModelRepo, revision, record));
  }
  // Every folder record of the repository older than the time-to-live.
  void AgeRecords(const std::string& repo, const std::string& revision = "main") {
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(25);
    for (const auto& item :
         std::filesystem::directory_iterator(FsPath(TreeRecordsFolder(CacheFolderPath(), repo, ModelRepo, revision)))) {
      if (item.path().filename() != "revision.json") std::filesystem::last_write_time(item.path(), old);
    }
  }
  std::string Copy(const std::string& remote) {
    const std::u16string local = LocalPath("copy");
    std::filesystem::remove(FsPath(local));
    return GetFile(remote, local) == kFileOk ? ReadTextFile(local) : "(failed)";
  }
};

// Fault: a file pushed to a repository stayed invisible until the folder's record aged out (24 hours
// by default) or the user found "Refresh cache now".
TEST_F(Pinned, AChangeOnTheHubShowsAtTheFirstListingOnceTheCheckIsDue) {
  const std::string before = HubCommitOf("models", kMoving);
  Configure(json::array({EntryJson("M", "single-model", kMoving)}));
  const Strings first = Sized(List("\\M"));
  EXPECT_EQ(TakeRequests(), (Strings{RevisionRequest(kMoving),
                                     TreeRequest(kMoving, before, "?recursive=true&expand=true&limit=100")}));
  EXPECT_FALSE(Names("\\M\\docs").empty());
  EXPECT_TRUE(TakeRequests().empty());

  const std::string config = "{\"v\": 2, \"changed\": true}\n";
  const std::string after = CommitOnHub(R"({"repo": "pin-org/moving", "files": [
      {"path": "added.txt", "text": "added\n"}, {"path": "config.json", "text": )" + json(config).dump() + "}]}");
  ASSERT_FALSE(after.empty());
  // Within the minute nothing is asked: what was listed stands.
  EXPECT_EQ(Sized(List("\\M")), first);
  EXPECT_TRUE(TakeRequests().empty());

  AgeCheck(kMoving, 61);
  const Strings now = Sized(List("\\M"));
  EXPECT_EQ(TakeRequests(),
            (Strings{RevisionRequest(kMoving), TreeRequest(kMoving, after, "?recursive=true&expand=true&limit=100")}));
  EXPECT_NE(std::find(now.begin(), now.end(), "added.txt 6"), now.end()) << ::testing::PrintToString(now);
  EXPECT_NE(std::find(now.begin(), now.end(), "config.json " + std::to_string(config.size())), now.end());
  EXPECT_EQ(now.size(), first.size() + 1);
  EXPECT_FALSE(Names("\\M\\docs").empty());  // every folder came with the one recursive answer
  EXPECT_TRUE(TakeRequests().empty());
  EXPECT_EQ(Copy("\\M\\config.json"), config);
  const Strings copy = TakeRequests();
  EXPECT_TRUE(!copy.empty() && copy[0] == "/pin-org/moving/resolve/" + after + "/config.json") << copy[0];
}

// Fault: a copy asked for the branch: a file changed on the hub after its folder was listed came down
// as the branch's new file (or failed the listed hash), not the file listed.
TEST_F(Pinned, ACopyFetchesTheCommitItsListingShowedWhereverTheBranchWentSince) {
  const std::string listed = HubCommitOf("models", kMoving);
  Configure(json::array({EntryJson("M", "single-model", kMoving)}));
  ASSERT_FALSE(List("\\M").empty());
  const std::string readme = Copy("\\M\\README.md");
  ASSERT_NE(readme, "(failed)");
  const std::string moved = CommitOnHub(R"({"repo": "pin-org/moving", "files": [
      {"path": "README.md", "text": "# moving, and longer than it was\n"}]})");
  ASSERT_FALSE(moved.empty());
  TakeRequests();
  EXPECT_EQ(Copy("\\M\\README.md"), readme);
  const Strings requests = TakeRequests();
  EXPECT_EQ(requests.at(0), "/pin-org/moving/resolve/" + listed + "/README.md");
  EXPECT_EQ(CountWithPrefix(requests, "/api/models/"), 0u) << "the listed hash checked out: no fresh listing";

  AgeCheck(kMoving, 61);
  ASSERT_FALSE(List("\\M").empty());
  EXPECT_EQ(Copy("\\M\\README.md"), "# moving, and longer than it was\n");
}

// Same commit: every record is current whatever its age, and one small request a repository per check
// interval is all that browsing sends; 0 checks at every listing.
TEST_F(Pinned, BrowsingAnUnchangedRepositoryAsksForItsCommitOncePerIntervalAndNothingElse) {
  Configure(AllKindsAndScale());
  const Strings folders = {"\\One", "\\One\\sub dir", "\\Scale\\dated", "\\Scale\\dated\\small"};
  std::vector<Strings> shown;
  for (const std::string& folder : folders) shown.push_back(Sized(List(folder)));
  TakeRequests();
  AgeRecords("space owner/model one");
  AgeRecords("scale-org/dated");
  for (size_t i = 0; i < folders.size(); ++i) EXPECT_EQ(Sized(List(folders[i])), shown[i]) << folders[i];
  EXPECT_TRUE(TakeRequests().empty());

  AgeCheck("space owner/model one", 61);
  AgeCheck("scale-org/dated", 61);
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < folders.size(); ++i) EXPECT_EQ(Sized(List(folders[i])), shown[i]) << folders[i];
  }
  EXPECT_EQ(TakeRequests(), (Strings{RevisionRequest("space owner/model one"), RevisionRequest("scale-org/dated")}));

  Configure(AllKindsAndScale(), "", "", {{"check_changes_seconds", 0}});
  for (size_t i = 0; i < folders.size(); ++i) EXPECT_EQ(Sized(List(folders[i])), shown[i]) << folders[i];
  EXPECT_EQ(TakeRequests(), (Strings{RevisionRequest("space owner/model one"), RevisionRequest("space owner/model one"),
                                     RevisionRequest("scale-org/dated"), RevisionRequest("scale-org/dated")}));
}

// A revision that is a commit never moves: never resolved, its records current whatever their age.
TEST_F(Pinned, ARevisionThatIsACommitIsNeverAskedFor) {
  const std::string step = HubCommitOf("models", "rev-org/checkpoints", "step1000");
  json entry = EntryJson("Pinned", "single-model", "rev-org/checkpoints");
  entry["revision"] = step;
  Configure(json::array({entry}), "", "", {{"check_changes_seconds", 0}});
  EXPECT_EQ(Names("\\Pinned\\weights"), (Strings{"model.bin", "optimizer.pt"}));
  EXPECT_EQ(Names("\\Pinned").size(), 3u);
  EXPECT_EQ(TakeRequests(), (Strings{TreeRequest("rev-org/checkpoints", step, "/weights?limit=1000"),
                                     TreeRequest("rev-org/checkpoints", step, "/weights?expand=true&limit=100"),
                                     TreeRequest("rev-org/checkpoints", step, "?recursive=true&expand=true&limit=100")}));
  AgeRecords("rev-org/checkpoints", step);
  EXPECT_EQ(Names("\\Pinned\\weights").size(), 2u);
  EXPECT_TRUE(TakeRequests().empty());
  EXPECT_EQ(Copy("\\Pinned\\config.json"), "{\"step\": 1000}\n");
  EXPECT_EQ(TakeRequests().at(0), "/rev-org/checkpoints/resolve/" + step + "/config.json");
}

// The offline cache, and a hub that cannot be asked: records are used as before, fresh by the
// time-to-live, any age while rate-limited; a refusal is told without a tree request after it.
TEST_F(Pinned, WithoutACheckRecordsAreUsedAsBefore) {
  json offline = EntryJson("Offline", "single-model", "pin-org/twins");
  offline["cache_enabled"] = true;
  Configure(json::array({offline}));
  EXPECT_EQ(Names("\\Offline"), Strings{"README.md"});
  EXPECT_EQ(TakeRequests(), Strings{TreeRequest("pin-org/twins", "main", "?recursive=true&expand=true&limit=100")});
  EXPECT_EQ(Names("\\Offline"), Strings{"README.md"});
  EXPECT_TRUE(TakeRequests().empty());
  AgeRecords("pin-org/twins");
  EXPECT_EQ(Names("\\Offline"), Strings{"README.md"});
  EXPECT_EQ(TakeRequests(), Strings{TreeRequest("pin-org/twins", "main", "?recursive=true&expand=true&limit=100")});

  const json entries = json::array({EntryJson("One", "single-model", "space owner/model one")});
  Configure(entries, "", "hf_test_good");
  ASSERT_EQ(Names("\\One").size(), 2u);
  const std::string one = "space owner/model one";
  const struct {
    const char* fault;
    bool aged;  // the records older than the time-to-live
    size_t shown;
    Strings requests;
  } cases[] = {
      {"status=500", false, 2, {RevisionRequest(one)}},
      {"status=500", true, 0, {RevisionRequest(one), TreeRequest(one, "main", "?recursive=true&expand=true&limit=100")}},
      {"status=429", true, 2, {RevisionRequest(one)}},  // paused: the tree is not even asked for
      {"status=401", false, 0, {RevisionRequest(one)}},
  };
  for (const auto& c : cases) {
    AgeCheck(one, 61);
    if (c.aged) AgeRecords(one);
    Configure(entries, std::string("__fault/") + c.fault + "/", "hf_test_good");
    EXPECT_EQ(Names("\\One").size(), c.shown) << c.fault;
    Strings requests = TakeRequests();
    for (std::string& r : requests) r = r.substr(r.find("/api/"));  // without the fault's prefix
    EXPECT_EQ(requests, c.requests) << c.fault;
    if (std::string(c.fault) == "status=401") EXPECT_EQ(g_host.questions.size(), 1u) << "the access-denied question";
    Configure(entries, "", "hf_test_good");
    ASSERT_EQ(Names("\\One").size(), 2u);  // and listed again, whole
  }
}

// What the module records after a commit of its own: the folders it changed brought to the commit from
// what was committed, every other folder's record current at once; nothing asked until the next check,
// which finds the same commit.
TEST_F(Pinned, ACommitOfTheModulesOwnIsShownWithoutARequest) {
  const std::string parent = HubCommitOf("models", kMoving);
  Configure(json::array({EntryJson("M", "single-model", kMoving)}));
  const size_t root = Names("\\M").size();
  const Strings data = Names("\\M\\data");
  TakeRequests();
  const std::string text = "notes of the module's own\n";
  const std::string commit = CommitOnHub(R"({"repo": "pin-org/moving", "files": [
      {"path": "docs/own.md", "text": )" + json(text).dump() + "}]}");
  ASSERT_FALSE(commit.empty());
  ASSERT_TRUE(NoteOwnCommit(CacheFolderPath(), kMoving, ModelRepo, "main", parent, commit,
                            {{"docs/own.md", false, static_cast<int64_t>(text.size()), GitBlobId(text)}}, UnixNow()));
  EXPECT_EQ(Names("\\M").size(), root);
  const Strings docs = Names("\\M\\docs");
  EXPECT_NE(std::find(docs.begin(), docs.end(), "own.md"), docs.end());
  EXPECT_EQ(Names("\\M\\data"), data);
  EXPECT_EQ(Copy("\\M\\docs\\own.md"), text);  // its listed git id checks out
  const Strings requests = TakeRequests();
  EXPECT_EQ(requests.at(0), "/pin-org/moving/resolve/" + commit + "/docs/own.md");
  EXPECT_EQ(CountWithPrefix(requests, "/api/models/"), 0u);
  AgeCheck(kMoving, 61);
  EXPECT_EQ(Names("\\M\\docs"), docs);
  EXPECT_EQ(TakeRequests(), Strings{RevisionRequest(kMoving)});
}

}  // namespace
