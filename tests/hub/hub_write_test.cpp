// The write client against the fake hub's write endpoints: what a commit puts there reads back the
// same through the hub's own refs, listings and downloads; where the key went, in the hub's log; the
// hub's refusals and its write faults, and what each leaves on the branch.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "core/files.h"
#include "core/json.h"
#include "core/state.h"
#include "core/text.h"
#include "hub/api.h"
#include "hub/commit.h"
#include "hub/content_hash.h"
#include "hub/download.h"
#include "hub/ratelimit.h"
#include "support/fakehub_client.h"
#include "support/test_env.h"

namespace {

const char* const kRepo = "write-org/playground";
const char* const kWriter = "hf_test_write";
const char* const kReader = "hf_test_good";  // reads write-org's repositories, writes none of them

std::string Bytes(size_t size, int seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 13 + seed * 7 + (i >> 11)) & 0xFF);
  return bytes;
}

// The storage host's settings for uploads handed out from now on (through HttpFetch: admin requests
// are not the API's).
bool SetStorage(const std::string& query) {
  HttpResponseHead head;
  return HttpFetch(Utf8ToWide(HubUrl() + "__admin/storage?" + query), "", HttpFetchOptions(), &head, nullptr,
                   nullptr) == HttpExchangeResult::Complete &&
         head.status == 200;
}

class HubWrites : public FakeHubTest {
 protected:
  void SetUp() override {
    FakeHubTest::SetUp();
    // Parts of 256 KiB from 256 KiB on: a file of a megabyte goes up in four.
    ASSERT_TRUE(SetStorage("part_size=262144&multipart_threshold=262144"));
  }
  void TearDown() override {
    SetStorage("part_size=104857600&multipart_threshold=104857600");
    SetHubLimits("lift=true");
    FakeHubTest::TearDown();
  }

  std::u16string Local(const std::string& name, const std::string& bytes) {
    const std::u16string path = JoinFsPath(folder_, Utf8ToWide(name));
    std::ofstream(FsPath(path), std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  static CommitRequest Request(std::vector<CommitOperation> operations, const std::string& key = kWriter,
                               const std::string& revision = "main") {
    CommitRequest request;
    request.target.site_url = HubSiteUrl();
    request.target.api_key = key;
    request.target.repo_id = kRepo;
    request.target.revision = revision;
    request.summary = "From the write tests";
    request.operations = std::move(operations);
    return request;
  }

  static CommitOperation Put(const std::string& path, const std::u16string& local) {
    CommitOperation op;
    op.path = path;
    op.local_path = local;
    return op;
  }

  // What a branch or ref points at now, from the hub's refs.
  static std::string Head(const std::string& ref = "refs/heads/main") {
    const nlohmann::json refs =
        ParseJson(HttpGet(MakeApiUrl(std::string("/models/") + kRepo + "/refs?include_prs=1"), kWriter));
    for (const char* list : {"branches", "pullRequests"}) {
      const nlohmann::json* items = JsonArray(refs, list);
      for (size_t i = 0; items && i < items->size(); ++i) {
        if (JsonString((*items)[i], "ref") == ref) return JsonString((*items)[i], "targetCommit");
      }
    }
    return std::string();
  }

  // The file's bytes as a copy from the hub gives them; "(not found)" when the hub has no such file.
  std::string ReadBack(const std::string& path, const std::string& revision = "main") {
    DownloadRequest r;
    r.repo_id = kRepo;
    r.revision = revision;
    r.file_path = path;
    r.api_key = kWriter;
    r.local_path = JoinFsPath(folder_, u"read-back");
    RemoveFileQuietly(r.local_path);
    const DownloadResult result = DownloadFile(r);
    if (result == DownloadNotFound) return "(not found)";
    return result == DownloadOk ? ReadTextFile(r.local_path) : "(failed)";
  }

  std::u16string folder_ = MakeTempFolder("hub-writes");
};

}  // namespace

// Regular, large, large in parts and empty files in one commit: each reads back as it was, the large
// ones listed by their SHA-256, and the commit is the branch's head. The key went with every request to
// the hub but the completion, and to the storage host never.
TEST_F(HubWrites, WhatACommitPutsReadsBackTheSame) {
  const std::map<std::string, std::string> files = {{"put/notes.txt", "notes\n"},
                                                    {"put/small.bin", Bytes(100000, 1)},
                                                    {"put/big.bin", Bytes((1 << 20) + 5, 2)},
                                                    {"put/empty.bin", ""}};
  std::vector<CommitOperation> operations;
  for (const auto& f : files) operations.push_back(Put(f.first, Local(f.first.substr(4), f.second)));
  CommitRequest request = Request(operations);
  int64_t last_done = -1, last_total = -2;
  request.progress = [&](int64_t done, int64_t total) {
    last_done = done;
    last_total = total;
    return true;
  };
  const CommitResult result = CommitChanges(request);
  ASSERT_TRUE(result.outcome.Done()) << WideToUtf8(result.outcome.message);
  EXPECT_EQ(result.commit_oid, Head());
  EXPECT_EQ(result.commit_url, HubUrl() + kRepo + "/commit/" + result.commit_oid);
  EXPECT_EQ(last_done, last_total);

  for (const auto& f : files) EXPECT_EQ(ReadBack(f.first), f.second) << f.first;
  TreeQuery query;
  query.folder = "put";
  std::map<std::string, std::string> listed;
  for (const TreeItem& item : ListTree(kRepo, kWriter, ModelRepo, query).items) listed[item.path] = item.lfs_oid;
  const auto sha256 = [](const std::string& bytes) {
    ContentHasher hasher;
    hasher.Begin(ContentCheck(), static_cast<int64_t>(bytes.size()));
    hasher.Update(bytes.data(), bytes.size());
    return hasher.EndHex();
  };
  EXPECT_EQ(listed["put/big.bin"], sha256(files.at("put/big.bin")));
  EXPECT_EQ(listed["put/small.bin"], sha256(files.at("put/small.bin")));
  EXPECT_EQ(listed["put/empty.bin"], "");  // regular: storage takes no empty object

  int parts = 0, completions = 0;
  for (const LoggedRequest& r : FetchHubLog()) {
    const bool completion = r.path.find("complete_multipart") != std::string::npos;
    parts += r.path.find("/lfs-part/") != std::string::npos ? 1 : 0;
    completions += completion ? 1 : 0;
    const bool keyed = r.host == "hub" && !completion;
    EXPECT_EQ(r.Header("authorization"), keyed ? std::string("Bearer ") + kWriter : "(absent)") << r.host << r.path;
  }
  EXPECT_EQ(parts, 5);  // a megabyte and five bytes in parts of 256 KiB
  EXPECT_EQ(completions, 1);
}

// A rename is a copy by the large file's hash and a delete, in one commit that uploads nothing; a
// folder goes with everything below it.
TEST_F(HubWrites, ARenameCopiesByHashAndUploadsNothing) {
  const std::string big = Bytes(300000, 3);
  ASSERT_TRUE(CommitChanges(Request({Put("mv/old.bin", Local("old.bin", big)), Put("mv/sub/a.txt", Local("a.txt", "a")),
                                     Put("mv/sub/deep/b.txt", Local("b.txt", "b"))}))
                  .outcome.Done());
  TreeQuery query;
  query.folder = "mv";
  std::string oid;
  for (const TreeItem& item : ListTree(kRepo, kWriter, ModelRepo, query).items) {
    if (item.path == "mv/old.bin") oid = item.lfs_oid;
  }
  ASSERT_EQ(oid.size(), 64u);
  ResetHubLog();
  CommitOperation copy, remove, folder;
  copy.kind = CommitOperation::Kind::CopyLargeFile;
  copy.path = "mv/new.bin";
  copy.lfs_oid = oid;
  remove.kind = CommitOperation::Kind::DeleteFile;
  remove.path = "mv/old.bin";
  folder.kind = CommitOperation::Kind::DeleteFolder;
  folder.path = "mv/sub";
  const CommitResult result = CommitChanges(Request({copy, remove, folder}));
  ASSERT_TRUE(result.outcome.Done()) << WideToUtf8(result.outcome.message);
  EXPECT_EQ(ReadBack("mv/new.bin"), big);
  for (const char* gone : {"mv/old.bin", "mv/sub/a.txt", "mv/sub/deep/b.txt"}) EXPECT_EQ(ReadBack(gone), "(not found)");
  for (const LoggedRequest& r : FetchHubLog()) {
    EXPECT_EQ(r.path.find("/preupload/"), std::string::npos);
    EXPECT_EQ(r.path.find("/objects/batch"), std::string::npos);
  }
}

// A key that can only read writes nothing to a branch, and the message says a pull request would do;
// as a pull request it opens one, whose ref holds the file while the branch stays where it was.
TEST_F(HubWrites, AKeyThatCannotWriteOpensAPullRequest) {
  const std::string head = Head();
  const std::u16string local = Local("proposal.bin", Bytes(50000, 4));
  const CommitResult refused = CommitChanges(Request({Put("pr/proposal.bin", local)}, kReader));
  EXPECT_EQ(refused.outcome.end, WriteEnd::NoWriteAccess);
  EXPECT_EQ(refused.outcome.status, 403u);
  EXPECT_NE(WideToUtf8(refused.outcome.message).find("as a pull request would work"), std::string::npos);

  CommitRequest request = Request({Put("pr/proposal.bin", local)}, kReader);
  request.target.create_pr = true;
  const CommitResult opened = CommitChanges(request);
  ASSERT_TRUE(opened.outcome.Done()) << WideToUtf8(opened.outcome.message);
  const std::string prefix = HubUrl() + kRepo + "/discussions/";
  ASSERT_EQ(opened.pull_request_url.compare(0, prefix.size(), prefix), 0) << opened.pull_request_url;
  const std::string ref = "refs/pr/" + opened.pull_request_url.substr(prefix.size());
  EXPECT_EQ(Head(ref), opened.commit_oid);
  EXPECT_EQ(ReadBack("pr/proposal.bin", ref), Bytes(50000, 4));
  EXPECT_EQ(Head(), head);
  EXPECT_EQ(ReadBack("pr/proposal.bin"), "(not found)");
}

// What the hub refuses and what its write faults do: each write's end, and whether the branch moved.
// A commit the hub makes and then fails is said to need a look, not reported as nothing committed.
TEST_F(HubWrites, RefusalsAndFaultsLeaveTheBranchAsTheHubSays) {
  const std::u16string text = Local("f.txt", "text\n");
  const struct {
    const char* name;
    std::string fault;
    std::string revision;
    bool stale_parent;
    int commits_allowed;  // 0: no quota; else the quota, spent by an earlier commit
    WriteEnd end;
    bool branch_moves;
    std::string message;
  } cases[] = {
      {"a tag", "", "v1.0", false, 0, WriteEnd::ReadOnlyRevision, false, "is a tag"},
      {"no such branch", "", "nope", false, 0, WriteEnd::NotFound, false, "has no branch \"nope\""},
      {"a stale parent", "", "main", true, 0, WriteEnd::BranchMoved, false, "changed since it was listed"},
      {"the commit quota", "", "main", false, 1, WriteEnd::CommitQuota, false, "limit on commits is reached"},
      {"an upload cut off", "cut_upload=1000", "main", false, 0, WriteEnd::Unreachable, false,
       "storage could not be reached during the upload of f/f.bin"},
      {"a commit failed", "fail_commit=500", "main", false, 0, WriteEnd::Failed, false, "answered 500 to the commit"},
      {"a commit failed once made", "fail_after_commit=502", "main", false, 0, WriteEnd::Failed, true,
       "Look at the folder again"},
  };
  int seed = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Bytes the hub has not seen (an object it holds is not uploaded again), in one PUT: under the part size.
    const std::u16string large = Local("f.bin", Bytes(200000, ++seed));
    WithFault("");
    std::string parent = Head();
    if (c.stale_parent || c.commits_allowed > 0) {
      ASSERT_TRUE(SetHubLimits(c.commits_allowed > 0 ? "commits=1&commit_window=300" : "lift=true"));
      ASSERT_TRUE(CommitChanges(Request({Put("f/before.txt", Local("before.txt", c.name))})).outcome.Done());
    }
    const std::string head = Head();
    WithFault(c.fault);
    ResetHubLog();
    CommitRequest request = Request({Put("f/f.bin", large), Put("f/f.txt", text)}, kWriter, c.revision);
    if (c.stale_parent) request.parent_commit = parent;
    const CommitResult result = CommitChanges(request);
    WithFault("");
    EXPECT_EQ(result.outcome.end, c.end) << WideToUtf8(result.outcome.message);
    EXPECT_NE(WideToUtf8(result.outcome.message).find(c.message), std::string::npos)
        << WideToUtf8(result.outcome.message);
    EXPECT_EQ(Head() != head, c.branch_moves);
    EXPECT_FALSE(ApiRateLimit().paused);  // the commit quota is not the API's limit
    SetHubLimits("lift=true");
    if (c.fault.rfind("cut_upload", 0) == 0) {
      int puts = 0;
      for (const LoggedRequest& r : FetchHubLog()) puts += r.method == "PUT" ? 1 : 0;
      EXPECT_EQ(puts, 3);  // sent again twice, then given up: never in a loop
    }
  }
}
