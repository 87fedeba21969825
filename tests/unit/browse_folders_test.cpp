// Folder listings without the network: paging item names and page sizes, merging pages, a repository's
// records per folder, merging dates, and the page the access-denied prompt opens.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "browse/browse.h"
#include "platform/platform.h"
#include "core/state.h"
#include "core/text.h"
#include "hub_scripted_exchange.h"
#include "support/test_env.h"

namespace {

TEST(Paging, ItemNamesAndPageSizes) {
  const std::vector<std::pair<std::u16string, bool>> names = {
      {u"[Load next 300 models]", true},  {u"[Load next anything]", true},     {u"[Load next ]", true},
      {u"[Load next 300 models", false},  {u"[load next 300 models]", false}, {u" [Load next 300 models]", false},
      {u"[Load next", false}};
  for (const auto& [name, paging] : names) EXPECT_EQ(IsPagingItemName(name), paging) << WideToUtf8(name);
  // Each kind's folder names its own kind.
  for (const auto& [kind, name] : {std::make_pair(ModelRepo, u"[Load next 300 models]"),
                                   std::make_pair(DatasetRepo, u"[Load next 300 datasets]"),
                                   std::make_pair(SpaceRepo, u"[Load next 300 spaces]")}) {
    EXPECT_EQ(PagingItemName(300, kind), name);
    EXPECT_TRUE(IsPagingItemName(PagingItemName(300, kind)));
  }
  Entry entry;
  for (const auto& [limit, size] : std::vector<std::pair<int32_t, int32_t>>{
           {10, 10}, {9, 300}, {0, 300}, {-1, 300}, {500, 500}, {501, 500}, {1000, 500}}) {
    entry.limit_count = limit;
    EXPECT_EQ(PageSizeOf(entry), size) << "limit_count " << limit;
  }
}

TEST(MergeRepos, TheFirstOccurrenceWinsWithinAndAcrossPages) {
  std::vector<RepoInfo> models = {{"a", "o/a", 1}, {"b", "o/b", 2}};
  MergeRepos(&models, {{{"b-again", "o/b", 9}, {"c", "o/c", 3}, {"c-dup", "o/c", 8}, {"d", "o/d", 4}}, ""});
  std::vector<std::string> names;
  for (const RepoInfo& m : models) names.push_back(m.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(FolderRecordsOf, ARecursiveAnswerBecomesARecordPerFolderInListingOrder) {
  const std::vector<TreeItem> items = {
      {"directory", "W", 0, 5},   {"file", "W/x.bin", 3, 4}, {"directory", "W/sub", 0, 6}, {"file", "W/sub/y", 1, 6},
      {"file", "deep/no/dir.txt"}, {"file", "b.txt", 2, 1},   {"directory", "empty"},      {"file", "a.txt"},
      {"file", ""}};
  // Case matters, a folder implied by a path gets a record too, and an empty folder an empty one.
  const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
      {"", {"W", "b.txt", "empty", "a.txt"}}, {"W", {"W/x.bin", "W/sub"}}, {"W/sub", {"W/sub/y"}},
      {"deep", {}}, {"deep/no", {"deep/no/dir.txt"}}, {"empty", {}}};
  const std::vector<TreeFolderRecord> records = FolderRecordsOf("o/m", DatasetRepo, "main", std::string(40, 'c'), items, 77);
  ASSERT_EQ(records.size(), expected.size());
  for (size_t i = 0; i < records.size(); ++i) {
    std::vector<std::string> paths;
    for (const TreeItem& item : records[i].items) paths.push_back(item.path);
    EXPECT_EQ(records[i].folder, expected[i].first) << i;
    EXPECT_EQ(paths, expected[i].second) << "'" << records[i].folder << "'";
    EXPECT_TRUE(records[i].repo_id == "o/m" && records[i].repo_type == DatasetRepo && records[i].fetched_at == 77 &&
                records[i].dates_complete && !records[i].large_repository && records[i].commit == std::string(40, 'c') &&
                records[i].fetch_id == records[0].fetch_id && !records[0].fetch_id.empty()) << i;
  }
  EXPECT_EQ(records[0].items[0].mtime, 5);  // items keep what the hub said of them
}

// A date belongs to one version of one item: the same path and the same git id, and a folder is not
// its namesake file.
TEST(MergeDates, TakesADateOnlyWherePathTypeAndOidMatch) {
  std::vector<TreeItem> items = {{"file", "a", 1, 0, "aa"},         {"file", "changed", 1, 0, "old"},
                                 {"file", "no-oid", 1, 0, ""},      {"directory", "d", 0, 0, "tree"},
                                 {"file", "kept", 1, 33, "kk"},     {"file", "undated", 1, 0, "uu"},
                                 {"file", "twin", 1, 0, "tt"}};
  const std::vector<TreeItem> dated = {{"file", "a", 1, 100, "aa"},      {"file", "changed", 1, 200, "new"},
                                       {"file", "no-oid", 1, 300, ""},   {"file", "d", 0, 400, "tree"},
                                       {"file", "kept", 1, 0, "kk"},     {"file", "undated", 1, 0, "uu"},
                                       {"directory", "twin", 0, 9, "tt"}, {"file", "absent", 1, 500, "zz"}};
  EXPECT_EQ(MergeDates(&items, dated), 2u);  // a, and kept's own date
  std::vector<int64_t> times;
  for (const TreeItem& item : items) times.push_back(item.mtime);
  EXPECT_EQ(times, (std::vector<int64_t>{100, 0, 0, 0, 33, 0, 0}));
}

// A folder's listing shows the folder's own children, whatever else a broken hub puts in its answer;
// and what it shows is what its record keeps.
TEST(EnumModelTree, ShowsAndKeepsOnlyTheFoldersOwnChildren) {
  ResetLinkedState(MakeTempFolder("children"));
  ScriptedHub hub;
  const std::string sha(40, '5');
  hub.Answer("https://hub.test:443/api/models/o/m/revision/main?expand=sha", R"({"id":"o/m","sha":")" + sha + R"("})");
  hub.Answer("https://hub.test:443/api/models/o/m/tree/" + sha + "/d?limit=1000",
             R"([{"path":"d/a","oid":"1"},{"path":"x/b"},{"path":"d/c/deep"},{"path":"d/"},{"path":"d"},
                 {"path":"dd/e"},{"type":"directory","path":"d/sub","oid":"2"}])");
  hub.Answer("https://hub.test:443/api/models/o/m/tree/" + sha + "/d?expand=true&limit=100", "[]");
  std::vector<std::u16string> names;
  for (const ListItem& item : EnumModelTree("o/m", "d", ModelRepo, "main")) names.push_back(item.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"sub"}));
  hub.requests.clear();
  names.clear();
  for (const ListItem& item : EnumModelTree("o/m", "d", ModelRepo, "main")) names.push_back(item.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"sub"}));
  EXPECT_TRUE(hub.requests.empty());  // from its record, the commit asked for a moment ago
}

#if !defined(_WIN32)  // on Windows the shell starts the browser; there is nothing to stand in for
TEST(GatedPrompt, YesOpensTheRepositoryPage) {
  // A dataset's page was opened at the model address, a page that does not exist.
  const std::u16string bin = MakeTempFolder("fake-xdg");
  const std::string record = WideToUtf8(JoinFsPath(bin, u"opened.txt"));
  WriteTextFile(JoinFsPath(bin, u"xdg-open"),
                "#!/bin/sh\nprintf '%s' \"$1\" > '" + record + ".part' && mv '" + record + ".part' '" + record + "'\n");
  std::filesystem::permissions(FsPath(JoinFsPath(bin, u"xdg-open")), std::filesystem::perms::owner_all);
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (WideToUtf8(bin) + ":" + path).c_str(), 1);
  const auto saved_request = std::exchange(g_state.request, RecordRequest);
  const auto saved_main = std::exchange(g_state.main_thread_id, PlatformThreadId());
  g_state.gated_prompted.clear();  // asked once per repository and process
  g_host.Clear();
  g_host.answer_yes = true;
  for (const auto& [id, repo_type, page] : {std::make_tuple("unit/model one", ModelRepo, "unit/model one"),
                                             std::make_tuple("unit/data one", DatasetRepo, "datasets/unit/data one"),
                                             std::make_tuple("unit/app one", SpaceRepo, "spaces/unit/app one")}) {
    std::filesystem::remove(FsPath(Utf8ToWide(record)));
    PromptGatedRepo(id, repo_type);
    for (int wait = 0; !FileExists(Utf8ToWide(record)) && wait < 500; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(ReadTextFile(Utf8ToWide(record)), HubSiteUrl() + page);
  }
  g_state.request = saved_request;
  g_state.main_thread_id = saved_main;
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(g_host.questions.size(), 3u);
}
#endif

// An organisation's Spaces page as models do, by the hub's next link, with the paging item naming them;
// each page's SDKs are kept with the listing.
TEST(OrgSpaces, PageByTheNextLinkAndKeepTheirSdks) {
  ResetLinkedState(MakeTempFolder("org-spaces"));
  PlatformCreateFolders(g_state.cache_folder);
  ScriptedHub hub;
  const auto page = [](int first, int count) {
    std::string body = "[";
    for (int i = first; i < first + count; ++i) {
      body += R"({"id":"o/s)" + std::to_string(i) + R"(","sdk":")" + (i % 2 ? "docker" : "gradio") + R"("},)";
    }
    body.back() = ']';
    return body;
  };
  hub.Answer("https://hub.test:443/api/spaces?author=o&limit=10&sort=lastModified&expand=lastModified&expand=sdk",
             page(0, 10)).head.link = u"<https://hub.test/api/spaces?author=o&cursor=2>; rel=\"next\"";
  hub.Answer("https://hub.test:443/api/spaces?author=o&cursor=2", page(10, 2));
  Entry entry;
  entry.org = "o";
  entry.repo_type = SpaceRepo;
  entry.limit_count = 10;
  Listing listing = EnumOrgRepos(entry);
  ASSERT_EQ(listing.size(), 11u);
  EXPECT_EQ(listing.back().name, u"[Load next 10 spaces]");
  EXPECT_TRUE(LoadNextPage(entry, false));
  listing = EnumOrgRepos(entry);  // from the stored listing
  ASSERT_EQ(listing.size(), 12u);
  EXPECT_EQ(listing.back().name, u"s11");
  EXPECT_EQ(hub.requests.size(), 2u);
  OrgReposCache stored;
  ASSERT_TRUE(LoadFreshOrgReposCache("o", SpaceRepo, &stored));
  EXPECT_EQ(stored.models.at(11).sdk, "docker");
  EXPECT_EQ(stored.models.at(10).sdk, "gradio");
}

// A Space's SDK comes from its organisation's stored listing, else from the hub, asked on the main
// thread only and remembered once it answered; a refusal is asked again the next time.
TEST(SpaceSdk, TheStoredListingFirstThenTheHubOnceOnTheMainThreadOnly) {
  ResetLinkedState(MakeTempFolder("space-sdk"));
  PlatformCreateFolders(g_state.cache_folder);
  ScriptedHub hub;
  const auto saved_main = std::exchange(g_state.main_thread_id, PlatformThreadId());
  g_state.space_sdks.clear();
  OrgReposCache listed;
  listed.org = "o";
  listed.repo_type = SpaceRepo;
  listed.models = {{"chat", "o/chat", 0, "gradio"}, {"bare", "o/bare", 0, ""}};
  SaveOrgReposCache(listed);
  EXPECT_EQ(SpaceSdk("o/chat", "main"), "gradio");
  EXPECT_TRUE(hub.requests.empty());

  const std::string info = "https://hub.test:443/api/spaces/o/bare?expand=sdk";
  EXPECT_EQ(std::async(std::launch::async, [] { return SpaceSdk("o/bare", "main"); }).get(), "");
  EXPECT_TRUE(hub.requests.empty()) << "a background thread never asks";
  hub.Answer(info, R"({"error":"Invalid username or password."})", 401);
  EXPECT_EQ(SpaceSdk("o/bare", "main"), "");
  hub.Answer(info, R"({"id":"o/bare","sdk":"docker"})");
  for (int again = 0; again < 2; ++again) EXPECT_EQ(SpaceSdk("o/bare", "main"), "docker");
  EXPECT_EQ(hub.requests.size(), 2u);
  // The listing is main's: another revision asks for its own.
  hub.Answer("https://hub.test:443/api/spaces/o/chat/revision/dev?expand=sdk", R"({"sdk":"static"})");
  EXPECT_EQ(SpaceSdk("o/chat", "dev"), "static");
  EXPECT_EQ(hub.requests.size(), 3u);
  g_state.main_thread_id = saved_main;
}

}  // namespace
