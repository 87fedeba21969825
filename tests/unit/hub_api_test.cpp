// The API operations on what the fake hub never sends: hostile element shapes, endless or very long
// chains of pages, folder listings' caps, the date worker's page fetch, and folder times; and the
// transport above the seam: encoding, paging links, what makes a URL unusable.
#include <gtest/gtest.h>

#include <tuple>

#include "hub/api.h"
#include "hub_scripted_exchange.h"
#include "support/test_env.h"

// modelId where there is no id, id over modelId, no id at all dropped, an id without "/" is the name;
// a date of another type or form is no date.
TEST(ListReposPage, SkipsElementsWithoutAnIdAndReadsWrongTypesAsDefaults) {
  ScriptedHub hub;
  hub.Answer("https://hub.test:443/api/datasets?author=o&limit=5&sort=lastModified",
             R"([1, "o/str", null, [], {"id":5}, {"id":"o/nulldate","lastModified":null},
                 {"id":"o/good","lastModified":"2024-01-02T03:04:05Z"}, {"id":"o/numdate","lastModified":3},
                 {"modelId":"o/only-modelid"}, {"id":"o/both","modelId":"o/other"}, {"id":"no-slash-id"},
                 {"id":"o/day","lastModified":"2024-01-02"}])");
  std::vector<std::tuple<std::string, std::string, int64_t>> got;
  for (const RepoInfo& r : ListReposPage("o", "", 5, DatasetRepo).items) got.emplace_back(r.repo_id, r.name, r.last_modified);
  EXPECT_EQ(got, (std::vector<std::tuple<std::string, std::string, int64_t>>{
                     {"o/nulldate", "nulldate", 0}, {"o/good", "good", 1704164645}, {"o/numdate", "numdate", 0},
                     {"o/only-modelid", "only-modelid", 0}, {"o/both", "both", 0},
                     {"no-slash-id", "no-slash-id", 0}, {"o/day", "day", 0}}));
}

// What a Space listing holds without expand is unknown: it asks for its dates and SDKs by name. An SDK
// that is no short plain word is dropped rather than shown and cached.
TEST(ListReposPage, SpacesAskForTheirDatesAndSdksAndKeepOnlyPlainSdks) {
  ScriptedHub hub;
  hub.Answer("https://hub.test:443/api/spaces?author=o&limit=5&sort=lastModified&expand=lastModified&expand=sdk",
             R"([{"id":"o/g","sdk":"gradio","lastModified":"2024-01-02T03:04:05Z"}, {"id":"o/none"},
                 {"id":"o/typed","sdk":7}, {"id":"o/spaced","sdk":"two words"}, {"id":"o/long","sdk":")" +
                 std::string(33, 'x') + R"("}, {"id":"o/d","sdk":"docker"}])");
  std::vector<std::pair<std::string, std::string>> got;
  for (const RepoInfo& r : ListReposPage("o", "", 5, SpaceRepo).items) got.emplace_back(r.name, r.sdk);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{
                     {"g", "gradio"}, {"none", ""}, {"typed", ""}, {"spaced", ""}, {"long", ""}, {"d", "docker"}}));
  EXPECT_EQ(hub.requests.size(), 1u);
}

// The info request names the revision as one segment (main is the bare info) and asks for the SDK
// alone; only a whole object answer is complete, and one without an SDK gives none.
TEST(FetchSpaceSdk, AsksTheInfoAtTheRevisionAndTellsHowItEnded) {
  ScriptedHub hub;
  hub.Answer("https://hub.test:443/api/spaces/o/g?expand=sdk", R"({"_id":"1","id":"o/g","sdk":"gradio"})");
  hub.Answer("https://hub.test:443/api/spaces/o/g/revision/refs%2Fpr%2F1?expand=sdk", R"({"id":"o/g","sdk":"static"})");
  hub.Answer("https://hub.test:443/api/spaces/o/bare?expand=sdk", R"({"id":"o/bare"})");
  hub.Answer("https://hub.test:443/api/spaces/o/list?expand=sdk", R"(["gradio"])");
  hub.Answer("https://hub.test:443/api/spaces/o/private?expand=sdk", R"({"error":"Invalid username or password."})", 401);
  const struct { const char *repo, *revision, *sdk; uint32_t status; bool complete; } cases[] = {
      {"o/g", "main", "gradio", 200, true},     {"o/g", "refs/pr/1", "static", 200, true},
      {"o/bare", "main", "", 200, true},        {"o/list", "main", "", 200, false},
      {"o/private", "main", "", 401, false},    {"o/g", "..", "", 404, false},  // no revision of any hub: unsent
  };
  for (const auto& c : cases) {
    const SpaceSdkAnswer answer = FetchSpaceSdk(c.repo, c.revision, "hf_key");
    EXPECT_EQ(answer.sdk, c.sdk) << c.repo << " " << c.revision;
    EXPECT_EQ(std::make_pair(answer.outcome.status, answer.outcome.complete), std::make_pair(c.status, c.complete))
        << c.repo << " " << c.revision;
  }
  EXPECT_EQ(hub.requests.size(), 5u);
  EXPECT_EQ(hub.requests[0].bearer_key, "hf_key");
}

// A revision's commit: one info request of the kind, the revision one segment, the commit alone asked
// for. Only an object naming 40 hex digits is an answer; a revision no hub has is not sent.
TEST(FetchRevisionCommit, AsksForTheCommitAloneAndTakesOnlyACommitId) {
  ScriptedHub hub;
  const std::string sha(40, 'a'), upper = "ABCDEF0123456789ABCDEF0123456789ABCDEF01";
  hub.Answer("https://hub.test:443/api/models/o/m/revision/main?expand=sha", R"({"_id":"1","id":"o/m","sha":")" + sha + R"("})");
  hub.Answer("https://hub.test:443/api/datasets/o/d/revision/refs%2Fconvert%2Fparquet?expand=sha",
             R"({"id":"o/d","sha":")" + upper + R"("})");
  hub.Answer("https://hub.test:443/api/spaces/o/s/revision/v1.0?expand=sha", R"({"id":"o/s"})");
  hub.Answer("https://hub.test:443/api/models/o/short/revision/main?expand=sha", R"({"sha":"abc123"})");
  hub.Answer("https://hub.test:443/api/models/o/odd/revision/main?expand=sha", R"({"sha":")" + std::string(40, 'g') + R"("})");
  hub.Answer("https://hub.test:443/api/models/o/list/revision/main?expand=sha", R"([")" + sha + R"("])");
  hub.Answer("https://hub.test:443/api/models/o/m/revision/gone?expand=sha", R"({"error":"Invalid rev id: gone"})", 404)
      .head.raw_headers = "HTTP/1.1 404 Not Found\r\nX-Error-Code: RevisionNotFound\r\n";
  const struct { const char* repo; RepoType kind; const char* revision; std::string commit; uint32_t status; bool complete; } cases[] = {
      {"o/m", ModelRepo, "main", sha, 200, true},
      {"o/d", DatasetRepo, "refs/convert/parquet", upper, 200, true},
      {"o/s", SpaceRepo, "v1.0", "", 200, false},  // no commit named
      {"o/short", ModelRepo, "main", "", 200, false},
      {"o/odd", ModelRepo, "main", "", 200, false},
      {"o/list", ModelRepo, "main", "", 200, false},
      {"o/m", ModelRepo, "gone", "", 404, false},
      {"o/m", ModelRepo, "a..b", "", 404, false},  // unsent
  };
  for (const auto& c : cases) {
    const RevisionAnswer answer = FetchRevisionCommit(c.repo, c.kind, c.revision, "hf_key");
    EXPECT_EQ(answer.commit, c.commit) << c.repo << " " << c.revision;
    EXPECT_EQ(std::make_pair(answer.outcome.status, answer.outcome.complete), std::make_pair(c.status, c.complete))
        << c.repo << " " << c.revision;
    if (c.status == 404) EXPECT_EQ(answer.outcome.error_code, kRevisionNotFound) << c.revision;
  }
  EXPECT_EQ(hub.requests.size(), 7u);
  EXPECT_EQ(hub.requests[0].bearer_key, "hf_key");
}

TEST(ListAllRepos, EndsAnEndlessChainAfterAThousandPages) {
  ScriptedHub hub;
  for (const char* url : {"https://hub.test:443/api/datasets?author=o&limit=500&sort=lastModified",
                          "https://hub.test:443/api/loop"}) {
    hub.Answer(url, R"([{"id":"o/x"}])").head.link = u"<https://hub.test/api/loop>; rel=\"next\"";
  }
  EXPECT_EQ(ListAllRepos("o", "", -1, DatasetRepo).size(), 1000u);
  EXPECT_EQ(hub.requests.size(), 1000u);
}

// Fault: a next-page link got the key whatever its origin, and a cached link was requested as it was.
TEST(Paging, ALinkOffTheHubsOriginEndsThePagingUnrequestedAndARelativeOneIsFollowed) {
  const std::string tree = "https://hub.test:443/api/models/o/m/tree/main?recursive=true&expand=true&limit=100";
  for (const char* link : {"http://hub.test/api/p2", "https://hub.test:8443/api/p2", "https://evil.test/api/p2",
                           "https://hub.test.evil.test/api/p2", "/api/p2?cursor=x"}) {
    ScriptedHub hub;
    hub.Answer(tree, R"([{"path":"a"}])").head.link = Utf8ToWide(std::string("<") + link + ">; rel=\"next\"");
    hub.Answer("https://hub.test:443/api/p2?cursor=x", R"([{"path":"b"}])");
    const bool followed = link[0] == '/';  // taken from the page it came with
    FetchOutcome outcome;
    EXPECT_EQ(FetchRepoTree("o/m", "hf_secret", &outcome, ModelRepo).size(), followed ? 2u : 1u) << link;
    EXPECT_EQ(hub.requests.size(), followed ? 2u : 1u) << link;
    EXPECT_EQ(outcome.complete, followed) << link;
    if (followed) continue;
    const RepoPage cached_link = ListReposNextPage(link, "hf_secret");  // as read back from a cache file
    EXPECT_EQ(hub.requests.size(), 1u) << link;
    EXPECT_EQ(cached_link.outcome.status, 0u) << link;
  }
}

// Fault: bodies had no size limit, and sizes out of range reached a typed read with undefined behaviour.
// Shapes the hub does not send: no type is a file, no size is 0, a lastCommit that is not an object or a
// date without a time is no time; a folder takes the time of the file below it.
TEST(HostileBodies, AreCutOffAndNumbersOutOfRangeReadAsNothing) {
  ScriptedHub hub;
  const std::string url = "https://hub.test:443/api/models/o/m/tree/main?recursive=true&expand=true&limit=100";
  hub.Answer(url, R"([{"path":"neg","size":-5},{"path":"frac","size":1.5},{"path":"huge","size":1e300},
      {"path":"u64","size":18446744073709551615},{"path":"whole","size":300.0},{"path":"ok","size":7},
      {"type":"file","path":"no-size"},{"path":"c","size":1,"lastCommit":"yesterday"},
      {"path":"day","size":2,"lastCommit":{"date":"2024-01-02"}},{"type":"directory","path":"d"},
      {"type":"file","path":"d/in","size":3,"lastCommit":{"date":"2024-05-01T12:34:56.000Z"}},
      {"type":"unknown","path":"odd"}])");
  FetchOutcome outcome;
  std::vector<std::string> got;
  for (const TreeItem& item : FetchRepoTree("o/m", "", &outcome, ModelRepo)) {
    got.push_back(item.type + " " + item.path + " " + std::to_string(item.size) + " " + std::to_string(item.mtime));
  }
  EXPECT_TRUE(outcome.complete);
  EXPECT_EQ(got, (std::vector<std::string>{"file neg 0 0", "file frac 0 0", "file huge 0 0", "file u64 0 0",
                                           "file whole 300 0", "file ok 7 0", "file no-size 0 0", "file c 1 0",
                                           "file day 2 0", "directory d 0 1714566896",
                                           "file d/in 3 1714566896", "unknown odd 0 0"}));

  const std::string element = R"({"path":"p"},)";
  std::string many = "[";
  for (size_t n = 0; n < 130000; ++n) many += element;  // 260,000 values in a 2 MB body
  many.back() = ']';
  hub.Answer(url, many);
  EXPECT_TRUE(FetchRepoTree("o/m", "", &outcome, ModelRepo).empty());
  EXPECT_EQ(outcome.status, 200u);
  EXPECT_FALSE(outcome.complete);

  ScriptedResponse& big = hub.Answer(url, "");
  big.chunks.assign(17, std::string(1u << 20, ' '));  // more than 16 MiB of white space
  big.chunks.front()[0] = '[';
  EXPECT_TRUE(FetchRepoTree("o/m", "", &outcome, ModelRepo).empty());
  EXPECT_FALSE(outcome.complete);
}

TEST(FillDirectoryTimes, GivesAFolderWithoutATimeTheLatestTimeOfTheFilesBelow) {
  std::vector<TreeItem> items = {{"directory", "a", 0, 0},  {"directory", "a/b", 0, 0}, {"file", "a/x", 1, 100},
                                 {"file", "a/b/y", 1, 300}, {"directory", "kept", 0, 50}, {"file", "kept/z", 1, 900},
                                 {"directory", "e", 0, 0},  {"unknown", "e/w", 1, 700}};
  FillDirectoryTimes(&items);
  std::vector<int64_t> times;
  for (const TreeItem& item : items) times.push_back(item.mtime);
  EXPECT_EQ(times, (std::vector<int64_t>{300, 300, 100, 300, 50, 900, 0, 700}));
}

// A folder is one segment per level and a revision one segment whole (refs/pr/1 holds slashes).
TEST(TreeApiPath, EachFolderSegmentAndTheRevisionAreEncodedAndTheQueryNamesWhatIsAskedFor) {
  struct Case { const char* repo; RepoType kind; const char* revision; const char* folder; bool whole; const char* path; };
  const Case cases[] = {
      {"o/m", ModelRepo, "", "", false, "/models/o/m/tree/main?limit=1000"},
      {"o w/d", DatasetRepo, "main", "a b/caf\xc3\xa9/#x?", false, "/datasets/o%20w/d/tree/main/a%20b/caf%C3%A9/%23x%3F?limit=1000"},
      {"o/n", DatasetRepo, "refs/pr/1", "a b/c", false, "/datasets/o/n/tree/refs%2Fpr%2F1/a%20b/c?limit=1000"},
      {"o/m", ModelRepo, "", "", true, "/models/o/m/tree/main?recursive=true&expand=true&limit=100"},
      {"o/s", SpaceRepo, "dev", "app dir", false, "/spaces/o/s/tree/dev/app%20dir?limit=1000"},
  };
  for (const Case& c : cases) {
    TreeQuery query;
    if (*c.revision) query.revision = c.revision;
    query.folder = c.folder;
    if (c.whole) {
      query.recursive = query.expand = true;
      query.limit = 100;
    }
    EXPECT_EQ(TreeApiPath(c.repo, c.kind, query), c.path);
  }
}

// A revision no hub can have (a hand-edited file) is answered as the hub answers an unknown one, without
// a request; the hub's own answer carries its code through.
TEST(ListTree, AnUnknownRevisionIsTheHubsRevisionNotFound) {
  ScriptedHub hub;
  TreeQuery query;
  for (const char* revision : {"..", ".", "a b", ""}) {
    query.revision = revision;
    const TreePages pages = ListTree("o/n", "", ModelRepo, query);
    EXPECT_EQ(pages.outcome.status, 404u) << revision;
    EXPECT_EQ(pages.outcome.error_code, kRevisionNotFound) << revision;
  }
  EXPECT_TRUE(hub.requests.empty());
  query.revision = "gone";
  hub.Answer("https://hub.test:443/api/models/o/n/tree/gone?limit=1000", R"({"error":"Invalid rev id: gone"})", 404)
      .head.raw_headers = "HTTP/1.1 404 Not Found\r\nX-Error-Code: RevisionNotFound\r\n";
  const TreePages pages = ListTree("o/n", "", ModelRepo, query);
  EXPECT_EQ(pages.outcome.status, 404u);
  EXPECT_EQ(pages.outcome.error_code, kRevisionNotFound);
}

// Fault: a tree ended after 200 pages and counted as whole; a folder now pages to its end, and only a
// chain no real hub sends ends incomplete.
TEST(ListTree, FollowsEveryPageAndEndsIncompleteOnlyAtALoopOrItsCaps) {
  ScriptedHub hub;
  const std::string first = "https://hub.test:443/api/models/o/m/tree/main/d?limit=1000";
  const auto page_url = [](int n) { return "https://hub.test:443/api/models/o/m/tree/main/d?limit=1000&cursor=" + std::to_string(n); };
  for (int n = 0; n < 1100; ++n) {
    ScriptedResponse& r = hub.Answer(n == 0 ? first : page_url(n), R"([{"path":"d/f)" + std::to_string(n) + R"("}])");
    if (n != 249) r.head.link = Utf8ToWide("<" + page_url(n + 1) + ">; rel=\"next\"");
  }
  TreeQuery query;
  query.folder = "d";
  TreePages pages = ListTree("o/m", "", ModelRepo, query);
  EXPECT_EQ(pages.items.size(), 250u);
  EXPECT_EQ(pages.items.back().path, "d/f249");
  EXPECT_TRUE(pages.outcome.complete);
  EXPECT_TRUE(pages.next_url.empty());

  query.max_pages = 1;  // the first page alone: the hub's next link is handed back
  hub.requests.clear();
  pages = ListTree("o/m", "", ModelRepo, query);
  EXPECT_EQ(hub.requests.size(), 1u);
  EXPECT_TRUE(pages.outcome.complete);
  EXPECT_EQ(pages.next_url, page_url(1));

  // A chain beyond the page cap (past the end of any real folder) hands back where it stopped.
  hub.Answer(page_url(249), R"([{"path":"d/f249"}])").head.link = Utf8ToWide("<" + page_url(250) + ">; rel=\"next\"");
  query.max_pages = kMaxFolderPages;
  pages = ListTree("o/m", "", ModelRepo, query);
  EXPECT_EQ(pages.items.size(), static_cast<size_t>(kMaxFolderPages));
  EXPECT_EQ(pages.next_url, page_url(kMaxFolderPages));

  // More items than ten of the hub's largest folders: cut, and incomplete.
  std::string many = "[";
  for (size_t n = 0; n <= kMaxFolderItems; ++n) many += R"({"path":"d/x"},)";
  many.back() = ']';
  hub.Answer(first, many).head.link.clear();
  pages = ListTree("o/m", "", ModelRepo, query);
  EXPECT_EQ(pages.items.size(), kMaxFolderItems);
  EXPECT_FALSE(pages.outcome.complete);
}

// The date worker's fetch reads nothing from PluginState: the hub it was given is where the request
// and its key go, the abort flag is the exchange's, and nothing is logged.
TEST(FetchTreePage, GoesToTheGivenHubWithTheAbortFlagAndLogsNothing) {
  ScriptedHub hub;  // the configured hub is https://hub.test/ meanwhile
  const auto saved_log = g_state.log;
  g_state.log = RecordLog;
  g_host.Clear();
  const std::string url = "https://given.test:443/api/models/o/m/tree/main/d?expand=true&limit=100";
  hub.Answer(url, R"([{"path":"d/a","oid":"aa","lastCommit":{"date":"2024-01-02T03:04:05Z"}}])").head.link =
      u"<https://given.test/api/models/o/m/tree/main/d?cursor=2>; rel=\"next\"";
  const std::atomic<bool> stop{false};
  TreePages page = FetchTreePage(Utf8ToWide(url), "hf_key", "https://given.test/", &stop);
  ASSERT_EQ(hub.requests.size(), 1u);
  EXPECT_EQ(hub.requests[0].bearer_key, "hf_key");
  EXPECT_EQ(hub.requests[0].abort, &stop);
  EXPECT_TRUE(page.outcome.complete);
  ASSERT_EQ(page.items.size(), 1u);
  EXPECT_EQ(page.items[0].mtime, 1704164645);
  EXPECT_EQ(page.next_url, "https://given.test/api/models/o/m/tree/main/d?cursor=2");
  // A next link off the given hub ends the page incomplete; a page off it is not requested at all.
  hub.responses[url].head.link = u"<https://hub.test/api/models/o/m/tree/main/d?cursor=2>; rel=\"next\"";
  page = FetchTreePage(Utf8ToWide(url), "hf_key", "https://given.test/", &stop);
  EXPECT_FALSE(page.outcome.complete);
  EXPECT_TRUE(page.next_url.empty());
  page = FetchTreePage(Utf8ToWide(url), "hf_key", "https://hub.test/", &stop);
  EXPECT_EQ(hub.requests.size(), 2u);
  EXPECT_EQ(page.outcome.status, 0u);
  EXPECT_TRUE(g_host.Log().empty());
  g_state.log = saved_log;
}

// Hashes are matched and checked against the bytes; one of another shape must mean nothing to either.
TEST(TreeItems, HashesOfAnotherShapeAreDroppedAndFoldersKeepTheirs) {
  ScriptedHub hub;
  const std::string masked(64, '*'), long_hash(65, 'a');
  hub.Answer("https://hub.test:443/api/models/o/m/tree/main?limit=1000",
             R"([{"type":"directory","path":"d","oid":"dd01"},{"path":"spaced","oid":"ab cd","lfs":{"oid":"ef"}},
                 {"path":"long","oid":")" + long_hash + R"(","lfs":{"oid":")" + masked + R"("}},
                 {"path":"typed","oid":7,"lfs":{"oid":["x"]}}])");
  const TreePages pages = ListTree("o/m", "", ModelRepo, TreeQuery());
  ASSERT_EQ(pages.items.size(), 4u);
  const std::vector<std::pair<std::string, std::string>> expected = {{"dd01", ""}, {"", "ef"}, {"", masked}, {"", ""}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::make_pair(pages.items[i].oid, pages.items[i].lfs_oid), expected[i]) << pages.items[i].path;
  }
}

TEST(UrlEncode, EscapesEveryByteOutsideTheUnreservedSet) {
  EXPECT_EQ(UrlEncode("org/model name", false), "org%2Fmodel%20name");
  EXPECT_EQ(UrlEncode("org/model name", true), "org/model%20name");
  EXPECT_EQ(UrlEncode("AZaz09-._~", false), "AZaz09-._~");
  EXPECT_EQ(UrlEncode("caf\xc3\xa9?&=%+", true), "caf%C3%A9%3F%26%3D%25%2B");
}

TEST(ParseNextLink, TakesTheTargetOfTheEntryWithRelNext) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"<u1>; rel=\"next\"", u"u1"}, {u"<u2>; rel=next", u"u2"}, {u"<u0>; rel=\"prev\", <u3>; rel=\"next\"", u"u3"},
      {u"<a,b>; rel=\"next\"", u"a,b"},  // a comma inside the brackets does not end the entry
      {u"<u4>; REL=\"next\"", u""}, {u"u5; rel=\"next\"", u""}, {u"<u6; rel=\"next\"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseNextLink(c.first), c.second) << WideToUtf8(c.first);
}

TEST(HttpGet, MakesNoRequestForAnUnusableUrl) {
  ScriptedHub hub;
  const std::u16string host = u"https://" + std::u16string(255, u'h'), path = u"/" + std::u16string(4094, u'p'),
                       query = u"?" + std::u16string(4094, u'q');
  const std::pair<std::u16string, size_t> cases[] = {  // URL, requests made
      {host + u"/", 1},          {host + u"h/", 0},
      {u"https://h" + path, 1},  {u"https://h" + path + u"p", 0},
      {u"https://h/" + query, 1}, {u"https://h/" + query + u"q", 0},
      {u"https://h/a\r\nX-Injected: 1", 0},  // a line break would write request lines of its own
  };
  for (const auto& c : cases) {
    hub.requests.clear();
    uint32_t status = 7;
    EXPECT_EQ(HttpGet(c.first, "", &status), c.second ? "Entry not found" : "") << c.first.size();
    EXPECT_EQ(hub.requests.size(), c.second) << c.first.size();
    EXPECT_EQ(status, c.second ? 404u : 7u) << c.first.size();  // no response: the status is left alone
  }
  HttpGet(u"https://h/a b/caf\u00e9?q=\u00e9 x", "");
  EXPECT_EQ(hub.requests.back().object, u"/a%20b/caf%C3%A9?q=%C3%A9%20x");
}
