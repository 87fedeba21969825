// Refused repositories through the module: one question per repository on the main thread, none on
// a background thread, and the log lines of listings and copies.
#include <thread>

#include "browse/browse_fixture.h"

using nlohmann::json;

namespace {

const char kSuppressed[] = "(gated prompt suppressed \xe2\x80\x94 background transfer thread)";

class Gated : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    Configure(json::array({
        {{"display_name", "Gated"}, {"type", "org-models"}, {"org", "gated-org"}},
        {{"display_name", "GatedDs"}, {"type", "org-models"}, {"kind", "dataset"}, {"org", "gated-org"}},
        {{"display_name", "Secret"}, {"type", "single-model"}, {"repo_id", "secret-org/private-model"}},
    }));
  }
  std::vector<std::string> Questions() {
    std::lock_guard<std::mutex> guard(g_host.lock);
    return g_host.questions;
  }
};

TEST_F(Gated, ARefusedTreeAsksOncePerRepository) {
  bool ok = true;
  List("\\Gated\\gated-tree", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Contains(g_host.Log(), "GATED tree: gated-org/gated-tree"));
  std::vector<std::string> questions = Questions();
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0].rfind("Could not list files in 'gated-org/gated-tree'.\n\n", 0), 0u);
  EXPECT_NE(questions[0].find(" terms on 127.0.0.1 and make sure"), std::string::npos);

  TakeRequests();
  g_host.Clear();
  List("\\Gated\\gated-tree", &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(TakeRequests().size(), 1u);  // refusals are not stored: asked for again
  EXPECT_EQ(CountWithPrefix(g_host.Log(), "GATED tree: "), 0u);
  EXPECT_TRUE(Questions().empty());
  EXPECT_FALSE(FileExists(CacheFile("tree_gated-org_gated-tree")));

  List("\\Secret", &ok);  // another refused repository asks again
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Contains(g_host.Log(), "GATED tree: secret-org/private-model"));
  EXPECT_EQ(Questions().size(), 1u);
}

TEST_F(Gated, ARefusedCopyOnABackgroundThreadOnlyLogs) {
  EXPECT_EQ(Names("\\Gated\\gated-model").size(), 4u);  // its tree is open, its files are not
  g_host.Clear();
  int32_t result = -1;
  std::thread([&] { result = GetFile("\\Gated\\gated-model\\config.json", LocalPath("config.json")); }).join();
  EXPECT_EQ(result, 3);
  EXPECT_FALSE(FileExists(LocalPath("config.json")));
  EXPECT_EQ(g_host.Log(), (std::vector<std::string>{"GATED tree: gated-org/gated-model", kSuppressed,
                                                     "GATED file: gated-org/gated-model/config.json"}));
  EXPECT_TRUE(Questions().empty());

  g_host.Clear();  // the main thread is not asked later either: the repository was handled
  EXPECT_EQ(GetFile("\\Gated\\gated-model\\config.json", LocalPath("config.json")), 3);
  EXPECT_EQ(g_host.Log(), (std::vector<std::string>{"GATED file: gated-org/gated-model/config.json"}));
  EXPECT_TRUE(Questions().empty());
  EXPECT_EQ(GetFile("\\Gated\\gated-model\\README.md", LocalPath("README.md")), 0);  // open in gated repos
}

TEST_F(Gated, ARefusedCopyOnTheMainThreadAsks) {
  EXPECT_EQ(GetFile("\\GatedDs\\gated-data\\data.csv", LocalPath("data.csv")), 3);
  EXPECT_EQ(g_host.Log(), (std::vector<std::string>{"GATED tree: gated-org/gated-data",
                                                     "GATED file: gated-org/gated-data/data.csv"}));
  ASSERT_EQ(Questions().size(), 1u);
  EXPECT_EQ(Questions()[0].rfind("Could not list files in 'gated-org/gated-data'.", 0), 0u);
  const std::vector<std::string> requests = TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "/datasets/gated-org/gated-data/resolve/main/data.csv");
}

}  // namespace
