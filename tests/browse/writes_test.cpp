// Changes through the module's exports into the fake hub's write-org/playground: copies in as one commit
// per host operation, moves committed before they answer, deletes, renames, made folders, and every way
// a write is refused or fails, read back from the hub's log, its branch head and the module's listings.
#include <fstream>
#include <functional>
#include <thread>

#include "browse_fixture.h"
#include "cache/tree_commits.h"
#include "hub/http.h"

namespace {

const char* const kRepo = "write-org/playground";
const char* const kWriter = "hf_test_write";

const char* const kReader = "hf_test_good";  // reads write-org's repositories, writes none of them

json Playground(bool allow = true, const std::string& revision = "", bool org = false, bool pull_request = false) {
  json e = org ? EntryJson("Play", "org-models", "write-org") : EntryJson("Play", "single-model", kRepo);
  e["allow_changes"] = allow;
  if (!revision.empty()) e["revision"] = revision;
  if (pull_request) e["changes_as_pull_request"] = true;
  return e;
}

bool IsWriteRequest(const LoggedRequest& r) {
  return r.method != "GET" || r.path.find("/refs") != std::string::npos;
}

class Writes : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    local_ = MakeTempFolder("uploads");
    // Each test writes below a folder of its own name: the hub keeps what earlier tests committed.
    folder_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override { SetHubLimits("lift=true"); }

  void ConfigureWrites(const json& entries, const std::string& fault = "", const std::string& key = kWriter) {
    Configure(entries, fault.empty() ? "" : "__fault/" + fault + "/", key);
  }
  std::u16string Local(const std::string& name, const std::string& bytes) {
    const std::u16string path = JoinFsPath(local_, Utf8ToWide(name));
    std::ofstream(FsPath(path), std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  int32_t Put(const std::u16string& local, const std::string& remote, int32_t flags = 0) {
    std::basic_string<HostChar> l(local.begin(), local.end()), r = H(remote);
    return module_.m.FsPutFileW(l.data(), r.data(), flags);
  }
  void Status(const std::string& dir, int32_t start_end, int32_t operation) {
    std::basic_string<HostChar> d = H(dir);
    module_.m.FsStatusInfoW(d.data(), start_end, operation);
  }
  bool Delete(const std::string& remote, bool folder) {
    std::basic_string<HostChar> r = H(remote);
    return (folder ? module_.m.FsRemoveDirW(r.data()) : module_.m.FsDeleteFileW(r.data())) != 0;
  }
  int32_t Rename(const std::string& from, const std::string& to, bool move, bool overwrite = false) {
    std::basic_string<HostChar> a = H(from), b = H(to);
    return module_.m.FsRenMovFileW(a.data(), b.data(), move ? 1 : 0, overwrite ? 1 : 0, nullptr);
  }
  std::string Head() { return HubCommitOf("models", kRepo); }
  static size_t Count(const std::vector<LoggedRequest>& log, const std::string& method, const std::string& part) {
    return std::count_if(log.begin(), log.end(), [&](const LoggedRequest& r) {
      return r.method == method && r.path.find(part) != std::string::npos;
    });
  }
  std::string Copied(const std::string& remote) {
    const std::u16string target = LocalPath("copied");
    RemoveFileQuietly(target);
    if (GetFile(remote, target, kCopyOverwrite) != kFileOk) return "(not copied)";
    return ReadTextFile(target);
  }
  // The hub's word on the commit that last touched `path` (its title), asked past the module.
  std::string CommitTitleOf(const std::string& path) {
    const size_t cut = path.rfind('/');
    const std::string folder = cut == std::string::npos ? "" : "/" + path.substr(0, cut);
    uint32_t status = 0;
    const json items = json::parse(
        HttpGet(Utf8ToWide(HubUrl() + "api/models/" + kRepo + "/tree/main" + folder + "?expand=true"), kWriter, &status),
        nullptr, false);
    if (!items.is_array()) return "(no listing)";
    for (const json& item : items) {
      if (item.value("path", "") == path) return item["lastCommit"].value("title", "");
    }
    return "(absent)";
  }
  // The hub's tree item of `path` at `revision`, asked past the module; null when it has none.
  json HubItem(const std::string& path, const std::string& revision = "main") {
    const size_t cut = path.rfind('/');
    const std::string folder = cut == std::string::npos ? "" : "/" + path.substr(0, cut);
    std::string rev;
    for (char ch : revision) rev += ch == '/' ? std::string("%2F") : std::string(1, ch);
    uint32_t status = 0;
    const json items = json::parse(
        HttpGet(Utf8ToWide(HubUrl() + "api/models/" + kRepo + "/tree/" + rev + folder), kWriter, &status), nullptr,
        false);
    if (items.is_array()) {
      for (const json& item : items) {
        if (item.value("path", "") == path) return item;
      }
    }
    return nullptr;
  }
  std::vector<std::string> Questions() {
    std::lock_guard<std::mutex> guard(g_host.lock);
    return g_host.questions;
  }

  std::u16string local_;
  std::string folder_;
};

TEST_F(Writes, OneOperationIsOneCommitOfAtMostAHundredFilesEach) {
  const struct {
    size_t files;
    size_t commits;
    std::string title;
  } cases[] = {{1, 1, "Upload f0.txt"}, {3, 1, "Upload 3 files"}, {101, 2, "Upload 100 files"}};
  ConfigureWrites(json::array({Playground()}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files);
    const std::string dir = folder_ + std::to_string(c.files);
    const std::string before = Head();
    TakeRequests();
    Status("\\Play\\" + dir, kStatusStart, c.files == 1 ? kOpPutOne : kOpPutSeveral);
    for (size_t i = 0; i < c.files; ++i) {
      const std::string name = "f" + std::to_string(i) + ".txt";
      ASSERT_EQ(Put(Local(name, "file " + std::to_string(i)), "\\Play\\" + dir + "\\" + name), kFileOk);
    }
    // Nothing is committed before the operation ends.
    EXPECT_EQ(Head(), before);
    Status("\\Play\\" + dir, kStatusEnd, c.files == 1 ? kOpPutOne : kOpPutSeveral);
    const std::vector<LoggedRequest> log = FetchHubLog();
    EXPECT_EQ(Count(log, "POST", "/commit/main"), c.commits);
    EXPECT_EQ(Names("\\Play\\" + dir).size(), c.files);
    // The titles: "Upload 3 files"; the 101 in commits of 100 and 1 (the last "Upload f100.txt").
    const std::string title = CommitTitleOf(dir + "/f0.txt");
    EXPECT_EQ(title.rfind(c.title, 0), 0u) << title;
    EXPECT_EQ(Copied("\\Play\\" + dir + "\\f0.txt"), "file 0");
    EXPECT_TRUE(Questions().empty());
  }
}

TEST_F(Writes, AMoveAnswersOnlyOnceCommittedAndNeverWhenTheCommitFails) {
  const struct {
    std::string fault;
    int32_t result;
    bool committed;
  } cases[] = {{"", kFileOk, true}, {"fail_commit=500", kFileWriteError, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    ConfigureWrites(json::array({Playground()}), c.fault);
    const std::u16string local = Local("moved.txt", "moved " + c.fault);
    const std::string remote = "\\Play\\" + folder_ + (c.committed ? "ok" : "failed") + ".txt";
    const std::string before = Head();
    Status("\\Play", kStatusStart, kOpPutSeveral);
    EXPECT_EQ(Put(local, remote, kCopyMove), c.result);
    // Answered: the hub has it already (the host deletes the local file now), or nothing changed.
    EXPECT_EQ(Head() != before, c.committed);
    EXPECT_EQ(ReadTextFile(local), "moved " + c.fault);  // the module never touches the local file
    Status("\\Play", kStatusEnd, kOpPutSeveral);
    EXPECT_EQ(Count(FetchHubLog(), "POST", "/commit/main"), 1u);  // the move's own commit only
    EXPECT_EQ(Questions().size(), c.committed ? 0u : 1u);
  }
}

TEST_F(Writes, ABranchMovedSinceTheListingCommitsNothingAndKeepsTheOtherCommit) {
  // Each answers the failure; each would otherwise write over, or delete, what the other commit left.
  const struct {
    std::string name;
    std::function<bool()> refused;
  } cases[] = {
      {"overwrite", [&] { return Put(Local("mine.txt", "mine"), "\\Play\\README.md", kCopyOverwrite) == kFileWriteError; }},
      {"new file", [&] { return Put(Local("mine.txt", "mine"), "\\Play\\new-after-move.txt", 0) == kFileWriteError; }},
      {"delete", [&] { return !Delete("\\Play\\README.md", false); }},
      {"rename", [&] { return Rename("\\Play\\README.md", "\\Play\\README-2.md", true) == kFileWriteError; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigureWrites(json::array({Playground()}));
    ASSERT_FALSE(Names("\\Play").empty());
    const std::string other = CommitOnHub(R"({"repo": "write-org/playground", "files": [{"path": ")" + folder_ +
                                          "/" + c.name + R"(.txt", "text": "someone else\n"}]})");
    ASSERT_FALSE(other.empty());
    EXPECT_TRUE(c.refused());
    EXPECT_EQ(Head(), other);
    const std::vector<std::string> told = Questions();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("changed since it was listed"), std::string::npos) << told[0];
    // Fault: asked to look again, the folder showed the record of a moment ago for up to a minute.
    const std::vector<std::string> root = Names("\\Play");
    EXPECT_NE(std::find(root.begin(), root.end(), folder_), root.end());
  }
}

TEST_F(Writes, AnExistingTargetAnswersExistsUnlessOverwritten) {
  ConfigureWrites(json::array({Playground()}));
  const std::string remote = "\\Play\\" + folder_ + ".txt";
  ASSERT_EQ(Put(Local("a.txt", "first"), remote), kFileOk);
  TakeRequests();
  EXPECT_EQ(Put(Local("b.txt", "second"), remote), kFileExists);
  EXPECT_EQ(Count(FetchHubLog(), "POST", "/preupload/"), 0u);
  // Inside an operation the file put earlier counts as there too.
  Status("\\Play", kStatusStart, kOpPutSeveral);
  EXPECT_EQ(Put(Local("c.txt", "third"), "\\Play\\" + folder_ + "-2.txt"), kFileOk);
  EXPECT_EQ(Put(Local("d.txt", "fourth"), "\\Play\\" + folder_ + "-2.txt"), kFileExists);
  EXPECT_EQ(Put(Local("b.txt", "second"), remote, kCopyOverwrite), kFileOk);
  Status("\\Play", kStatusEnd, kOpPutSeveral);
  EXPECT_TRUE(Questions().empty());
  EXPECT_EQ(Copied(remote), "second");
  EXPECT_EQ(Copied("\\Play\\" + folder_ + "-2.txt"), "third");
}

TEST_F(Writes, NothingIsSentWhereChangesAreNotTaken) {
  const std::string tag_commit = HubCommitOf("models", kRepo, "v1.0");
  ASSERT_FALSE(tag_commit.empty());
  const struct {
    std::string name;
    json entry;
    std::string remote;
    int32_t result;
    bool asks_refs;  // a tag is known by the hub's refs; a commit without asking
    std::string told;
  } cases[] = {
      {"changes off", Playground(false), "\\Play\\x.txt", kFileNotSupported, false, ""},
      {"the root", Playground(), "\\x.txt", kFileNotSupported, false, ""},
      {"an organisation's folder", Playground(true, "", true), "\\Play\\x.txt", kFileNotSupported, false, ""},
      {"a tag", Playground(true, "v1.0"), "\\Play\\x.txt", kFileNotSupported, true, "is a tag"},
      {"a commit", Playground(true, tag_commit), "\\Play\\x.txt", kFileNotSupported, false, "is a commit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigureWrites(json::array({c.entry}));
    Status("\\Play", kStatusStart, kOpPutSeveral);
    EXPECT_EQ(Put(Local("x.txt", "x"), c.remote), c.result);
    EXPECT_EQ(Put(Local("y.txt", "y"), c.remote), c.result);
    EXPECT_EQ(Put(Local("x.txt", "x"), c.remote, kCopyResume), kFileNotSupported);
    Status("\\Play", kStatusEnd, kOpPutSeveral);
    std::vector<LoggedRequest> writes;
    for (const LoggedRequest& r : FetchHubLog()) {
      if (IsWriteRequest(r)) writes.push_back(r);
    }
    ASSERT_EQ(writes.size(), c.asks_refs ? 1u : 0u);
    if (c.asks_refs) EXPECT_NE(writes[0].path.find("/refs"), std::string::npos);
    const std::vector<std::string> told = Questions();
    ASSERT_EQ(told.size(), c.told.empty() ? 0u : 1u);  // a refusal is told once per operation
    if (!c.told.empty()) EXPECT_NE(told[0].find(c.told), std::string::npos) << told[0];
  }
}

TEST_F(Writes, DeletesOfFilesAndFoldersAreOneCommit) {
  ConfigureWrites(json::array({Playground()}));
  const std::string d = "\\Play\\" + folder_;
  Status(d, kStatusStart, kOpPutSeveral);
  for (const char* name : {"a.txt", "c.txt"}) ASSERT_EQ(Put(Local(name, name), d + "\\" + name), kFileOk);
  ASSERT_EQ(Put(Local("b.txt", "b"), d + "\\sub\\b.txt"), kFileOk);
  ASSERT_EQ(Put(Local("e.txt", "e"), d + "\\sub\\deeper\\e.txt"), kFileOk);
  Status(d, kStatusEnd, kOpPutSeveral);
  ASSERT_EQ(Names(d + "\\sub").size(), 2u);
  const std::string before = Head();
  TakeRequests();
  // As a host deletes a folder: its files one by one, then the folder itself; and a file beside it.
  Status(d, kStatusStart, kOpDelete);
  EXPECT_TRUE(Delete(d + "\\sub\\b.txt", false));
  EXPECT_TRUE(Delete(d + "\\sub", true));
  EXPECT_TRUE(Delete(d + "\\a.txt", false));
  EXPECT_FALSE(Delete(d + "\\never-there.txt", false));
  EXPECT_EQ(Head(), before);
  Status(d, kStatusEnd, kOpDelete);
  EXPECT_EQ(Count(FetchHubLog(), "POST", "/commit/main"), 1u);
  EXPECT_EQ(Names(d), std::vector<std::string>{"c.txt"});
  EXPECT_TRUE(Questions().empty());
  EXPECT_EQ(CommitTitleOf(folder_ + "/c.txt").rfind("Upload", 0), 0u);
  // Without an operation a delete is its own commit at once.
  EXPECT_TRUE(Delete(d + "\\c.txt", false));
  EXPECT_TRUE(Names(d).empty());
}

TEST_F(Writes, RenamesCopyLargeFilesByTheirHashAndResendSmallOnes) {
  ConfigureWrites(json::array({Playground()}));
  const std::string d = "\\Play\\" + folder_;
  const std::string large = GeneratedBytes(300000) + folder_;
  ASSERT_EQ(Put(Local("w.bin", large), d + "\\w.bin"), kFileOk);
  ASSERT_EQ(Put(Local("t.txt", "small text"), d + "\\t.txt"), kFileOk);
  ASSERT_EQ(Names(d).size(), 2u);
  TakeRequests();

  Status(d, kStatusStart, kOpRenameSeveral);
  EXPECT_EQ(Rename(d + "\\w.bin", d + "\\w2.bin", true), kFileOk);
  EXPECT_EQ(Rename(d + "\\t.txt", d + "\\t2.txt", false), kFileOk);
  EXPECT_EQ(Rename(d + "\\t.txt", d + "\\w2.bin", false), kFileExists);  // taken in this operation
  EXPECT_EQ(Rename(d + "\\t.txt", "\\Play\\..\\other", false), kFileWriteError);  // no path a repository holds
  Status(d, kStatusEnd, kOpRenameSeveral);
  const std::vector<LoggedRequest> log = FetchHubLog();
  EXPECT_EQ(Count(log, "POST", "/commit/main"), 1u);
  EXPECT_EQ(Count(log, "PUT", ""), 0u);  // the large file's bytes are the hub's already
  EXPECT_EQ(Count(log, "POST", "/info/lfs/objects/batch"), 0u);
  std::vector<std::string> names = Names(d);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"t.txt", "t2.txt", "w2.bin"}));
  EXPECT_EQ(Copied(d + "\\w2.bin"), large);
  EXPECT_EQ(Copied(d + "\\t2.txt"), "small text");

  // Across repositories, or a folder: not offered.
  ConfigureWrites(json::array({Playground(), EntryJson("Other", "single-model", "write-org/private-sink")}));
  EXPECT_EQ(Rename(d + "\\t.txt", "\\Other\\t.txt", true), kFileNotSupported);
  EXPECT_EQ(Rename("\\Play\\" + folder_, "\\Play\\" + folder_ + "-renamed", true), kFileNotSupported);
}

TEST_F(Writes, AMadeFolderListsEmptyUntilFilesArrive) {
  ConfigureWrites(json::array({Playground()}));
  const std::string made = "\\Play\\" + folder_;
  std::basic_string<HostChar> path = H(made);
  ASSERT_NE(module_.m.FsMkDirW(path.data()), 0);
  std::vector<std::string> root = Names("\\Play");
  EXPECT_NE(std::find(root.begin(), root.end(), folder_), root.end());
  TakeRequests();
  EXPECT_TRUE(List(made).empty());
  EXPECT_TRUE(TakeRequests().empty());  // listed without asking the hub
  const std::string before = Head();
  ASSERT_EQ(Put(Local("in.txt", "in"), made + "\\in.txt"), kFileOk);
  EXPECT_NE(Head(), before);
  EXPECT_EQ(Names(made), std::vector<std::string>{"in.txt"});
  root = Names("\\Play");
  EXPECT_EQ(std::count(root.begin(), root.end(), folder_), 1);
}

TEST_F(Writes, ACommitShowsAtOnceWithoutAskingTheHub) {
  ConfigureWrites(json::array({Playground()}));
  ASSERT_FALSE(Names("\\Play").empty());
  const std::string name = folder_ + ".txt";
  ASSERT_EQ(Put(Local("n.txt", "now"), "\\Play\\" + name), kFileOk);
  TakeRequests();
  const std::vector<std::string> root = Names("\\Play");
  EXPECT_NE(std::find(root.begin(), root.end(), name), root.end());
  EXPECT_TRUE(TakeRequests().empty());
}

TEST_F(Writes, AFailedCommitAtTheEndTellsOnceWhichFilesAreNotOnTheHub) {
  const struct {
    std::string name;
    bool background;  // the operation runs on another thread: told by the main thread's next export
  } cases[] = {{"main thread", false}, {"background thread", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigureWrites(json::array({Playground()}), "fail_commit=500");
    const std::string before = Head();
    const auto operation = [&] {
      Status("\\Play", kStatusStart, kOpPutBackground);
      EXPECT_EQ(Put(Local("one.txt", "1"), "\\Play\\" + folder_ + "-one.txt"), kFileOk);
      EXPECT_EQ(Put(Local("two.txt", "2"), "\\Play\\" + folder_ + "-two.txt"), kFileOk);
      Status("\\Play", kStatusEnd, kOpPutBackground);
    };
    if (c.background) {
      std::thread(operation).join();
      EXPECT_TRUE(Questions().empty());
      Names("\\");
    } else {
      operation();
    }
    EXPECT_EQ(Head(), before);
    const std::vector<std::string> told = Questions();
    ASSERT_EQ(told.size(), 1u);
    for (const char* part : {"500", "-one.txt", "-two.txt"}) EXPECT_NE(told[0].find(part), std::string::npos) << told[0];
  }
}

TEST_F(Writes, AFileChangedBetweenItsCopyAndTheCommitIsNotCommitted) {
  ConfigureWrites(json::array({Playground()}));
  const std::string before = Head();
  Status("\\Play", kStatusStart, kOpPutSeveral);
  const std::u16string local = Local("changing.txt", "as handed over");
  ASSERT_EQ(Put(local, "\\Play\\" + folder_ + ".txt"), kFileOk);
  Local("changing.txt", "written again, longer than before");
  Status("\\Play", kStatusEnd, kOpPutSeveral);
  EXPECT_EQ(Head(), before);
  const std::vector<std::string> told = Questions();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_NE(told[0].find("changed while it was being sent"), std::string::npos) << told[0];
}

TEST_F(Writes, ACancelThroughTheProgressCallbackCommitsNothing) {
  ConfigureWrites(json::array({Playground()}));
  const std::string before = Head();
  g_host.cancel_at_progress_call = 0;
  EXPECT_EQ(Put(Local("c.bin", GeneratedBytes(500000) + "cancel"), "\\Play\\" + folder_ + ".bin"), kFileUserAbort);
  EXPECT_EQ(Count(FetchHubLog(), "POST", "/commit/"), 0u);
  EXPECT_EQ(Head(), before);
  EXPECT_TRUE(Questions().empty());
  EXPECT_GE(g_host.progress_calls, 1);
}

TEST_F(Writes, SmallFilesAreAskedAboutAtTheCommitAHundredARequest) {
  ConfigureWrites(json::array({Playground()}));
  const std::string d = "\\Play\\" + folder_;
  const struct {
    std::string name;
    std::string bytes;
    bool lfs;  // the hub's word, whichever request asked it
  } special[] = {
      {"small.txt", "small text", false},
      {"tiny.bin", "eleven byte", true},  // .gitattributes makes a tiny .bin large
      {"empty.txt", "", false},
      {"above.txt", std::string(1 << 20, '\0') + "over the bound", true},  // asked when handed over
  };
  Status(d, kStatusStart, kOpPutSeveral);
  for (const auto& f : special) ASSERT_EQ(Put(Local(f.name, f.bytes), d + "\\" + f.name), kFileOk) << f.name;
  for (int i = 0; i < 100; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    ASSERT_EQ(Put(Local(name, name), d + "\\" + name), kFileOk);
  }
  // One unreadable file answers at once, without a request, and the others still go.
  TakeRequests();
  EXPECT_EQ(Put(JoinFsPath(local_, u"missing.txt"), d + "\\missing.txt"), kFileReadError);
  EXPECT_TRUE(TakeRequests().empty());
  Status(d, kStatusEnd, kOpPutSeveral);
  EXPECT_EQ(Names(d).size(), 104u);
  for (const auto& f : special) {
    SCOPED_TRACE(f.name);
    const json item = HubItem(folder_ + "/" + f.name);
    ASSERT_TRUE(item.is_object());
    EXPECT_EQ(item.contains("lfs"), f.lfs);
    EXPECT_EQ(Copied(d + "\\" + f.name), f.bytes);
  }
  const std::vector<std::string> told = Questions();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_NE(told[0].find("missing.txt cannot be read"), std::string::npos) << told[0];
}

TEST_F(Writes, SmallFilesCostOnePreuploadPerCommit) {
  ConfigureWrites(json::array({Playground()}));
  const std::string d = "\\Play\\" + folder_;
  ASSERT_FALSE(Names("\\Play").empty());
  TakeRequests();
  Status(d, kStatusStart, kOpPutSeveral);
  ASSERT_EQ(Put(Local("above.bin", GeneratedBytes((1 << 20) + 1)), d + "\\above.bin"), kFileOk);
  for (int i = 0; i < 150; ++i) {
    const std::string name = "f" + std::to_string(i) + (i % 10 ? ".txt" : ".bin");
    ASSERT_EQ(Put(Local(name, name + " bytes"), d + "\\" + name), kFileOk);
  }
  const std::vector<LoggedRequest> during = FetchHubLog();
  EXPECT_EQ(Count(during, "POST", "/preupload/"), 1u);  // the file above the bound alone
  EXPECT_EQ(Count(during, "POST", "/commit/"), 0u);
  Status(d, kStatusEnd, kOpPutSeveral);
  const std::vector<LoggedRequest> log = FetchHubLog();
  EXPECT_EQ(Count(log, "POST", "/preupload/"), 3u);
  EXPECT_EQ(Count(log, "POST", "/commit/main"), 2u);
  // The hub's requests for 151 files: the refs, the new folder's parent, 3 preuploads, the LFS batches
  // of the two commits and of the file above the bound, and 2 commits.
  size_t api = 0;
  for (const LoggedRequest& r : log) api += r.host == "hub" ? 1 : 0;
  EXPECT_LE(api, 12u);
  EXPECT_TRUE(Questions().empty());
  EXPECT_EQ(Copied(d + "\\f10.bin"), "f10.bin bytes");
  EXPECT_EQ(Copied(d + "\\f149.txt"), "f149.txt bytes");
}

TEST_F(Writes, ACopyOutRightAfterTheCommitIsCheckedAgainstWhatWasSent) {
  ConfigureWrites(json::array({Playground()}));
  ASSERT_FALSE(Names("\\Play").empty());  // the commit brings this listing to itself
  const std::string names[] = {folder_ + "-regular.txt", folder_ + "-tiny.bin"};
  Status("\\Play", kStatusStart, kOpPutSeveral);
  for (const std::string& name : names) ASSERT_EQ(Put(Local(name, "sent as " + name), "\\Play\\" + name), kFileOk);
  Status("\\Play", kStatusEnd, kOpPutSeveral);
  // The ids are those of the bytes sent: the copies match them without listing the folder again.
  TakeRequests();
  for (const std::string& name : names) EXPECT_EQ(Copied("\\Play\\" + name), "sent as " + name);
  for (const std::string& path : TakeRequests()) EXPECT_EQ(path.find("/tree/"), std::string::npos) << path;
  EXPECT_EQ(CountWithPrefix(g_host.Log(), "Download content mismatch"), 0u);
  // The hub now serves other bytes of the same size, and a listing would name their hash wrongly.
  ConfigureWrites(json::array({Playground()}), "change_after=0+wrong_hash");
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    WriteTextFile(LocalPath("out"), "kept");
    EXPECT_EQ(GetFile("\\Play\\" + name, LocalPath("out"), kCopyOverwrite), kFileReadError);
    EXPECT_EQ(ReadTextFile(LocalPath("out")), "kept");
  }
  EXPECT_EQ(CountWithPrefix(g_host.Log(), "Download content mismatch: write-org/playground/"), 2u);
}

TEST_F(Writes, PullRequestsTakeTheChangesAndMainStaysAsListed) {
  const struct {
    std::string name;
    std::string key;
    size_t files;
    bool move;  // fault: each moved file's commit opened a pull request of its own
  } cases[] = {
      {"101 files", kWriter, 101, false}, {"a key that reads", kReader, 3, false}, {"moves", kWriter, 2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigureWrites(json::array({Playground(true, "", false, true)}), "", c.key);
    const std::string dir = folder_ + std::to_string(c.files);
    ASSERT_FALSE(Names("\\Play").empty());
    const std::string before = Head();
    RevisionRecord listed;
    ASSERT_TRUE(ReadRevisionRecord(CacheFolderPath(), kRepo, ModelRepo, "main", &listed));
    Status("\\Play\\" + dir, kStatusStart, kOpPutSeveral);
    for (size_t i = 0; i < c.files; ++i) {
      const std::string name = "p" + std::to_string(i) + ".txt";
      ASSERT_EQ(Put(Local(name, name), "\\Play\\" + dir + "\\" + name, c.move ? kCopyMove : 0), kFileOk);
    }
    Status("\\Play\\" + dir, kStatusEnd, kOpPutSeveral);
    const std::vector<LoggedRequest> log = FetchHubLog();
    EXPECT_EQ(Count(log, "POST", "/commit/main?create_pr=1"), 1u);
    const std::vector<std::string> told = Questions();
    ASSERT_EQ(told.size(), 1u);
    const size_t at = told[0].find("/discussions/");
    ASSERT_NE(at, std::string::npos) << told[0];
    const std::string ref = "refs/pr/" + std::to_string(std::atoi(told[0].c_str() + at + 13));
    EXPECT_EQ(Count(log, "POST", "/commit/refs%2Fpr%2F" + ref.substr(8)), c.files > 100 || c.move ? 1u : 0u);
    // Main did not move, and nothing here says it did: the folder lists main as the hub has it.
    EXPECT_EQ(Head(), before);
    RevisionRecord after;
    ASSERT_TRUE(ReadRevisionRecord(CacheFolderPath(), kRepo, ModelRepo, "main", &after));
    EXPECT_EQ(after.commit, listed.commit);
    EXPECT_EQ(after.links.size(), listed.links.size());
    const std::vector<std::string> root = Names("\\Play");
    EXPECT_EQ(std::find(root.begin(), root.end(), dir), root.end());
    for (size_t i : {size_t(0), c.files - 1}) {
      EXPECT_TRUE(HubItem(dir + "/p" + std::to_string(i) + ".txt", ref).is_object()) << i;
    }
    // An entry at the pull request commits onto it.
    ConfigureWrites(json::array({Playground(true, ref)}));
    const std::string pr_head = HubCommitOf("models", kRepo, ref);
    ASSERT_EQ(Put(Local("onto.txt", "onto " + ref), "\\Play\\" + dir + "\\onto.txt"), kFileOk);
    EXPECT_NE(HubCommitOf("models", kRepo, ref), pr_head);
    EXPECT_EQ(Count(FetchHubLog(), "POST", "/commit/refs%2Fpr%2F" + ref.substr(8)), 1u);
    EXPECT_EQ(Head(), before);
    EXPECT_EQ(Copied("\\Play\\" + dir + "\\onto.txt"), "onto " + ref);
    EXPECT_TRUE(Questions().empty());
  }
}

TEST_F(Writes, EachRefusalLeavesTheLocalFileAndTellsOnce) {
  const struct {
    std::string name;
    std::string key;
    std::string revision;
    std::string fault;
    bool quota;         // the commit quota spent by a commit just before
    std::string bytes;  // the file copied in
    bool committed;     // the repository has it all in the end
    std::string told;
  } cases[] = {
      {"a key that cannot write", kReader, "", "", false, "text", false, "would work"},
      {"the commit quota", kWriter, "", "", true, "text", false, "limit on commits is reached"},
      {"no such branch", kWriter, "no-such-branch", "", false, "text", false, "has no branch \"no-such-branch\""},
      {"an upload cut at the commit", kWriter, "", "cut_upload=1000", false, GeneratedBytes(5000), false,
       "could not be reached"},
      {"an upload cut when handed over", kWriter, "", "cut_upload=1000", false, GeneratedBytes((1 << 20) + 9), false,
       "could not be reached"},
      {"the answer lost after the commit", kWriter, "", "fail_after_commit=502", false, "text", true,
       "Look at the folder again"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigureWrites(json::array({Playground(true, c.revision)}), c.fault, c.key);
    ASSERT_TRUE(SetHubLimits(c.quota ? "commits=1&commit_window=300" : "lift=true"));
    if (c.quota) ASSERT_EQ(Put(Local("first.txt", c.name), "\\Play\\" + folder_ + "-first.txt"), kFileOk);
    const std::string before = Head();
    TakeRequests();
    const std::string name = folder_ + "-" + std::to_string(&c - cases) + ".bin";
    const std::u16string local = Local(name, c.bytes);
    Status("\\Play", kStatusStart, kOpPutSeveral);
    Put(local, "\\Play\\" + name);
    Status("\\Play", kStatusEnd, kOpPutSeveral);
    EXPECT_LE(Count(FetchHubLog(), "POST", "/commit/"), 1u);  // never sent again
    EXPECT_EQ(ReadTextFile(local), c.bytes);
    EXPECT_EQ(Head() != before, c.committed);
    EXPECT_EQ(HubItem(name).is_object(), c.committed);
    const std::vector<std::string> told = Questions();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find(c.told), std::string::npos) << told[0];
    if (c.revision.empty()) EXPECT_NE(told[0].find(name), std::string::npos) << told[0];
    // Fault: asked to look again, the folder showed the record of a moment ago for up to a minute.
    const std::vector<std::string> listed = Names("\\Play");
    EXPECT_EQ(std::find(listed.begin(), listed.end(), name) != listed.end(), c.committed);
  }
}

}  // namespace
