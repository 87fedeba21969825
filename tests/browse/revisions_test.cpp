// Repositories at a revision an address names: listings ask the hub for the commit of that revision (one
// path segment, refs/pr/1 as refs%2Fpr%2F1) and list and copy at that commit, the cache keeps revisions
// apart (refs/pr/1 from a branch named refs_pr_1 too), organisations stay on main, and a revision the hub
// does not have is told to the user instead of showing an empty folder.
#include <filesystem>
#include <thread>

#include "browse/browse_fixture.h"

namespace {

using Revisions = BrowseTest;

json AtRevision(const std::string& name, const std::string& repo_id, const std::string& revision,
                bool dataset = false) {
  json entry = EntryJson(name, "single-model", repo_id, dataset);
  entry["revision"] = revision;
  return entry;
}

// "name size" of each record, in listing order.
std::vector<std::string> Sized(const std::vector<ListedRecord>& records) {
  std::vector<std::string> out;
  for (const ListedRecord& r : records) out.push_back(r.name + (r.folder ? "/" : " " + std::to_string(r.size)));
  return out;
}

// Whether the requests asked for the revision's commit and listed every tree at `commit`.
bool AskedAndListedAt(const std::vector<std::string>& requests, const std::string& revision_request,
                      const std::string& commit) {
  size_t trees = 0;
  for (const std::string& r : requests) {
    if (r.find("/tree/") == std::string::npos) continue;
    ++trees;
    if (r.find("/tree/" + commit) == std::string::npos) return false;
  }
  return trees > 0 && !requests.empty() && requests[0] == revision_request;
}

bool Requested(const std::vector<std::string>& requests, const std::string& target) {
  return std::find(requests.begin(), requests.end(), target) != requests.end();
}

// Fault: an entry of a repository at a revision (made from ".../tree/step1000") listed and copied main.
TEST_F(Revisions, ListingsAndCopiesAskForTheEntrysRevision) {
  const std::string step = HubCommitOf("models", "rev-org/checkpoints", "step1000"),
                    pr = HubCommitOf("models", "rev-org/checkpoints", "refs/pr/1"),
                    main = HubCommitOf("models", "rev-org/checkpoints"),
                    parquet = HubCommitOf("datasets", "rev-org/table-data", "refs/convert/parquet");
  Configure(json::array({AtRevision("Step", "rev-org/checkpoints", "step1000"),
                         AtRevision("PR", "rev-org/checkpoints", "refs/pr/1"),
                         EntryJson("Main", "single-model", "rev-org/checkpoints"),
                         AtRevision("Parquet", "rev-org/table-data", "refs/convert/parquet", true),
                         EntryJson("Org", "org-models", "rev-org")}));
  EXPECT_EQ(Sized(List("\\Step")), (std::vector<std::string>{"weights/", "README.md 26", "config.json 15"}));
  EXPECT_TRUE(AskedAndListedAt(TakeRequests(), "/api/models/rev-org/checkpoints/revision/step1000?expand=sha", step));
  EXPECT_EQ(Sized(List("\\Step\\weights")), (std::vector<std::string>{"model.bin 3000", "optimizer.pt 100"}));
  EXPECT_EQ(Sized(List("\\PR")), (std::vector<std::string>{"README.md 24", "proposal.txt 16"}));
  EXPECT_TRUE(AskedAndListedAt(TakeRequests(), "/api/models/rev-org/checkpoints/revision/refs%2Fpr%2F1?expand=sha", pr));
  EXPECT_EQ(Sized(List("\\Parquet\\default\\train")),
            (std::vector<std::string>{"0000.parquet 5000", "info.txt 10"}));
  EXPECT_TRUE(AskedAndListedAt(TakeRequests(),
                               "/api/datasets/rev-org/table-data/revision/refs%2Fconvert%2Fparquet?expand=sha", parquet));

  // Main, and the organisation's view of the same repository, list main (and share its records); the
  // cache keeps the revisions apart, so none of them is listed from another's records.
  EXPECT_EQ(Sized(List("\\Main")), (std::vector<std::string>{"weights/", "README.md 22", "config.json 17"}));
  EXPECT_EQ(Sized(List("\\Org\\checkpoints")), Sized(List("\\Main")));
  EXPECT_TRUE(AskedAndListedAt(TakeRequests(), "/api/models/rev-org/checkpoints/revision/main?expand=sha", main));
  EXPECT_EQ(Sized(List("\\Step")), (std::vector<std::string>{"weights/", "README.md 26", "config.json 15"}));
  EXPECT_EQ(Sized(List("\\PR")), (std::vector<std::string>{"README.md 24", "proposal.txt 16"}));
  EXPECT_TRUE(TakeRequests().empty()) << "each revision from its own records";

  // Copies at the commit listed: small files through the hub's cached copy, large ones through the
  // storage host.
  const struct { const char* remote; std::string request, content; } copies[] = {
      {"\\Step\\config.json", "/rev-org/checkpoints/resolve/" + step + "/config.json", "{\"step\": 1000}\n"},
      {"\\PR\\README.md", "/rev-org/checkpoints/resolve/" + pr + "/README.md", "# checkpoints, proposed\n"},
      {"\\Main\\config.json", "/rev-org/checkpoints/resolve/" + main + "/config.json", "{\"step\": 143000}\n"},
      {"\\Step\\weights\\model.bin", "/rev-org/checkpoints/resolve/" + step + "/weights/model.bin",
       GeneratedBytes(3000)},
      {"\\Parquet\\default\\train\\0000.parquet",
       "/datasets/rev-org/table-data/resolve/" + parquet + "/default/train/0000.parquet", GeneratedBytes(5000)},
  };
  for (const auto& c : copies) {
    ASSERT_EQ(GetFile(c.remote, LocalPath("copy")), kFileOk) << c.remote;
    EXPECT_TRUE(ReadTextFile(LocalPath("copy")) == c.content) << c.remote;
    EXPECT_TRUE(Requested(TakeRequests(), c.request)) << c.remote;
    std::filesystem::remove(FsPath(LocalPath("copy")));
  }
}

// Fault: a revision the hub does not have showed an empty folder without a word.
TEST_F(Revisions, AnUnknownRevisionIsToldAtEachListing) {
  Configure(json::array({AtRevision("Gone", "rev-org/checkpoints", "no-such-branch"),
                         AtRevision("Odd", "rev-org/checkpoints", "../x")}));
  const std::string told =
      "The HuggingFace hub has no revision \"no-such-branch\" of rev-org/checkpoints. Check the branch, tag or "
      "commit in the address the entry was made from.";
  EXPECT_TRUE(Names("\\Gone").empty());
  EXPECT_EQ(g_host.questions, std::vector<std::string>{told});
  EXPECT_TRUE(g_host.HasLogLine("ModelTree revision not found: rev-org/checkpoints revision=no-such-branch"));
  // The revision's commit is asked for, and no tree after the hub's answer.
  const std::vector<std::string> asked = {"/api/models/rev-org/checkpoints/revision/no-such-branch?expand=sha"};
  EXPECT_EQ(TakeRequests(), asked);
  // Nothing was stored, so the next listing asks the hub again, and tells again.
  EXPECT_TRUE(Names("\\Gone\\weights").empty());
  EXPECT_EQ(g_host.questions, (std::vector<std::string>{told, told}));
  EXPECT_EQ(TakeRequests(), asked);
  // A copy's listing on the transfer thread asks nobody; the copy finds nothing.
  std::thread transfer([&] { EXPECT_EQ(GetFile("\\Gone\\config.json", LocalPath("c.json")), kFileNotFound); });
  transfer.join();
  EXPECT_EQ(g_host.questions.size(), 2u);
  EXPECT_TRUE(Requested(TakeRequests(), "/rev-org/checkpoints/resolve/no-such-branch/config.json"));

  // A hand-edited revision that no hub can have is not sent at all, and told the same way.
  EXPECT_TRUE(Names("\\Odd").empty());
  ASSERT_EQ(g_host.questions.size(), 3u);
  EXPECT_NE(g_host.questions.back().find("\"../x\""), std::string::npos) << g_host.questions.back();
  EXPECT_EQ(GetFile("\\Odd\\config.json", LocalPath("odd.json")), kFileNotFound);
  EXPECT_TRUE(TakeRequests().empty());
}

// Fault: the pull request refs/pr/1 and a branch named refs_pr_1 shared one cache folder: each listing
// evicted the other's records, and a copy then ran without the listing's size and hash (no resume).
TEST_F(Revisions, APullRequestAndABranchNamedLikeItKeepRecordsOfTheirOwn) {
  Configure(json::array({AtRevision("PR", "pin-org/twins", "refs/pr/1"), AtRevision("Twin", "pin-org/twins", "refs_pr_1")}));
  const std::vector<std::string> pr = {"README.md 18", "proposal.txt 26"}, twin = {"README.md 50", "branch.txt 22"};
  EXPECT_EQ(Sized(List("\\PR")), pr);
  EXPECT_EQ(Sized(List("\\Twin")), twin);
  TakeRequests();
  EXPECT_EQ(Sized(List("\\PR")), pr);
  EXPECT_EQ(Sized(List("\\Twin")), twin);
  EXPECT_TRUE(TakeRequests().empty()) << "each from its own records";
  WriteTextFile(LocalPath("proposal.txt"), "a pull");  // an earlier copy that stopped
  EXPECT_EQ(GetFile("\\PR\\proposal.txt", LocalPath("proposal.txt")), kFileExistsResumeAllowed);
}

}  // namespace
