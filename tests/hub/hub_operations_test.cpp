// The API operations against the fake hub: URLs as sent, paging and page limits, and the statuses
// listings report (the parsing rules of shapes the hub does not send are unit/hub_api_test's); and
// HttpGet: the request as the server saw it, statuses and bodies, no response.
#include <gtest/gtest.h>

#include "hub/api.h"
#include "hub/http.h"
#include "core/text.h"
#include "support/fakehub_client.h"

using HubOperations = FakeHubTest;
using HubTransport = FakeHubTest;
using Strings = std::vector<std::string>;

// Fault: model listings came without dates, because the hub sends lastModified on models only when asked.
TEST_F(HubOperations, ModelListingsAskForTheirDates) {
  EXPECT_EQ(ListReposPage("big-org", "", 10, ModelRepo).items.at(9).last_modified, 1751284800 - 9 * 3600);
  EXPECT_EQ(ListReposPage("space owner", "", 0, DatasetRepo).items.at(0).repo_id, "space owner/data one");
  EXPECT_EQ(ListReposPage("big-org", "", 10000, ModelRepo).items.size(), 500u);
  Strings paths;
  for (const LoggedRequest& r : FetchHubLog()) paths.push_back(r.path);
  EXPECT_EQ(paths, (Strings{"/api/models?author=big-org&limit=10&sort=lastModified&expand=lastModified",
                            "/api/datasets?author=space%20owner&limit=1&sort=lastModified",
                            "/api/models?author=big-org&limit=500&sort=lastModified&expand=lastModified"}));
  // ListAllRepos pages to the end, or to the maximum asked for (500 a page).
  EXPECT_EQ(ListAllRepos("big-org", "", 0, ModelRepo).size(), 2345u);
  ResetHubLog();
  const std::vector<RepoInfo> some = ListAllRepos("big-org", "", 700, DatasetRepo);
  ASSERT_EQ(some.size(), 700u);
  EXPECT_EQ(some.back().repo_id, "big-org/data-0699");
  EXPECT_EQ(FetchHubLog().size(), 2u);
}

// Fault: a tree whose later page failed came back as if whole, and was cached as complete.
TEST_F(HubOperations, OperationsReportTheirStatusAndWhetherEveryPageArrived) {
  const struct {
    const char *fault, *repo, *key;
    RepoType repo_type;
    uint32_t status;
    size_t items;
    bool complete;
  } cases[] = {
      {"", "files-org/dataset-one", "", DatasetRepo, 200, 4, true},
      {"", "files-org/paged-tree", "", ModelRepo, 200, 250, true},  // 250 pages of 1: no longer cut at 200
      {"", "gated-org/gated-tree", "hf_test_nogrant", ModelRepo, 403, 0, false},
      {"", "files-org/no-such-repo", "hf_test_good", ModelRepo, 404, 0, false},
      {"fail_page=2:500", "files-org/basic", "", ModelRepo, 500, 4, false},  // shown as far as it got
      {"status=429@3", "files-org/basic", "", ModelRepo, 429, 8, false},
      {"cut_at=100@2", "files-org/basic", "", ModelRepo, 200, 4, false},
      {"malformed@4", "files-org/basic", "", ModelRepo, 200, 12, false},
      {"redirect_loop", "files-org/basic", "", ModelRepo, 0, 0, false},  // no response
  };
  for (const auto& c : cases) {
    WithFault(c.fault);
    FetchOutcome outcome{9, !c.complete};
    EXPECT_EQ(FetchRepoTree(c.repo, c.key, &outcome, c.repo_type).size(), c.items) << c.repo << " " << c.fault;
    EXPECT_EQ(outcome.status, c.status) << c.repo << " " << c.fault;
    EXPECT_EQ(outcome.complete, c.complete) << c.repo << " " << c.fault;
  }
  // (The collections and an organisation's page under these faults: browse/fault_matrix_test.)
  for (const char* fault : {"status=503", "malformed", "cut_at=50"}) {
    WithFault(fault);
    FetchOutcome outcome{0, true};
    ListAllRepos("big-org", "", 0, ModelRepo, &outcome);
    EXPECT_FALSE(outcome.complete) << fault;
  }
}

// A folder the hub does not have is its 404, not an empty folder. (A folder's pages, its URLs and the
// recursive listing's first page: browse/tree_folders_test, unit/hub_api_test.)
TEST_F(HubOperations, AFolderTheHubDoesNotHaveIsItsStatus) {
  TreeQuery folder;
  folder.folder = "no-such-folder";
  const TreePages pages = ListTree("scale-org/wide", "", ModelRepo, folder);
  EXPECT_EQ(pages.outcome.status, 404u);
  EXPECT_FALSE(pages.outcome.complete);
}

// A failing page ends them too: see the status table above.
TEST_F(HubOperations, OwnerCollectionsAcrossPagesUpToFifty) {
  const std::vector<CollectionInfo> all = ListOwnerCollections("coll-org", "");
  ASSERT_EQ(all.size(), 6u);  // on 3 pages
  EXPECT_EQ(all[0].title, "Favourites");
  EXPECT_EQ(all[0].last_updated, 1748736000);
  EXPECT_EQ(all[4].last_updated, 0);
  // A nested "item" and "modelId" give the id, "itemType" wins over "type", no id is no model. (The
  // slug as the folder of an untitled one and the items of a collection: browse/collections_test.)
  EXPECT_EQ(all[5].model_ids, (Strings{"odd-org/nested-id", "odd-org/modelid-only"}));
  ResetHubLog();
  EXPECT_EQ(ListOwnerCollections("many-coll-org", "").size(), 50u);
  EXPECT_EQ(FetchHubLog().size(), 50u);
}

TEST_F(HubTransport, SendsTheRequestLineAndHeadersExactly) {
  const std::string query = "api/models?author=space%20owner&limit=2&expand[]=lastModified&x=%2F%3F~";
  HttpGet(At(query), "");
  HttpGet(At("api/whoami-v2"), "hf_test_good");
  const std::vector<LoggedRequest> log = FetchHubLog();
  EXPECT_EQ(log.at(0).method + " " + log[0].path, "GET /" + query);  // the query reaches the server unchanged
  EXPECT_EQ(log[0].Header("user-agent"), "tarnfs/1.0");
  EXPECT_EQ(log[0].Header("authorization"), "(absent)");  // an empty key sends no "Bearer " at all
  EXPECT_EQ(log.at(1).Header("authorization"), "Bearer hf_test_good");
}

TEST_F(HubTransport, AnyResponseGivesItsBodyAndStatusAndTenRedirectsAreFollowed) {
  const std::string refused = "{\"error\":\"Invalid username or password.\"}";
  const struct {
    std::string url, body;
    uint32_t status;  // 77: untouched, no response
    size_t requests;  // as the hub saw them
  } cases[] = {
      {HubUrl() + "api/whoami-v2", refused, 401, 1},
      {HubUrl() + "files-org/basic/resolve/main/no-such-file", "Entry not found", 404, 1},
      {HubUrl() + "__fault/redirects=10/api/whoami-v2", refused, 401, 11},
      {HubUrl() + "__fault/redirects=11/api/whoami-v2", "", 77, 11},
      {HubUrl() + "__fault/redirect_loop/api/whoami-v2", "", 77, 11},
      {"http://127.0.0.1:1/api/whoami-v2", "", 77, 0},  // nothing listens on port 1
  };
  for (const auto& c : cases) {
    ResetHubLog();
    uint32_t status = 77;
    std::u16string next = u"unchanged";
    EXPECT_EQ(HttpGet(Utf8ToWide(c.url), "", &status, &next), c.body) << c.url;
    EXPECT_EQ(status, c.status) << c.url;
    EXPECT_EQ(next, u"unchanged") << c.url;
    EXPECT_EQ(FetchHubLog().size(), c.requests) << c.url;
  }
}

// Fault: a key holding a line break injected request headers of its own choosing.
TEST_F(HubTransport, AKeyWithALineBreakSendsNothing) {
  uint32_t status = 0;
  EXPECT_EQ(HttpGet(At("api/whoami-v2"), "hf_test_good\r\nX-Evil: 1", &status), "");
  EXPECT_EQ(status, 0u);
  EXPECT_TRUE(FetchHubLog().empty());
}

// Fault: WinHTTP waited 90 s for a response head whatever the receive timeout said.
// Fault: WinHTTP's timeouts were set on the session after the request existed, so they never reached
// it: a body that stalled was waited for 30 s (and name resolution had no limit at all).
TEST_F(HubTransport, AStalledAnswerEndsAfterTheRequestsReceiveTimeout) {
  const struct {
    const char* fault;  // the stall: before the head, or after it
    HttpExchangeResult expected;
  } cases[] = {
      {"delay=15000", HttpExchangeResult::NoResponse},
      {"slow=15000", HttpExchangeResult::BodyFailed},
  };
  for (const auto& c : cases) {
    HttpFetchOptions options;
    options.receive_timeout_ms = 1000;
    std::string body;
    const HttpExchangeResult result =
        HttpFetch(At(std::string("__fault/") + c.fault + "/files-org/basic/resolve/main/README.md"), "", options,
                  nullptr, nullptr, [&body](const char* data, size_t size) {
                    body.append(data, size);
                    return true;
                  });
    EXPECT_EQ(result, c.expected) << c.fault;
    EXPECT_EQ(body, "") << c.fault;  // ended before the server sent a byte of it
  }
}
