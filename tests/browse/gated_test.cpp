// Refused repositories through the module: one question per repository on the main thread, none on
// a background thread.
#include <thread>

#include "browse/browse_fixture.h"

namespace {

using Gated = BrowseTest;

const json kRefused = json::array(
    {EntryJson("Gated", "org-models", "gated-org"), EntryJson("Secret", "single-model", "secret-org/private-model")});

TEST_F(Gated, ARefusedTreeAsksOncePerRepository) {
  Configure(kRefused);
  EXPECT_TRUE(List("\\Gated\\gated-tree").empty());
  EXPECT_TRUE(g_host.HasLogLine("GATED tree: gated-org/gated-tree"));
  EXPECT_EQ(g_host.questions,
            std::vector<std::string>{
                "Could not list files in 'gated-org/gated-tree'.\n\nThis repository is either gated, private, or the "
                "URL is misspelled. For gated repos, accept the model's terms on 127.0.0.1 and make sure your API key "
                "(Settings \xe2\x86\x92 API key) belongs to the same account.\n\nOpen the model page in your browser "
                "now?"});
  TakeRequests();
  g_host.Clear();
  EXPECT_TRUE(List("\\Gated\\gated-tree").empty());
  EXPECT_EQ(TakeRequests().size(), 1u);  // refusals are not stored: asked for again
  EXPECT_EQ(CountWithPrefix(g_host.Log(), "GATED"), 0u);
  EXPECT_TRUE(g_host.questions.empty());
  EXPECT_TRUE(List("\\Secret").empty());  // another refused repository asks again
  EXPECT_TRUE(g_host.HasLogLine("GATED tree: secret-org/private-model"));
  EXPECT_EQ(g_host.questions.size(), 1u);
}

TEST_F(Gated, ARefusedCopyOnABackgroundThreadOnlyLogs) {
  Configure(kRefused);
  EXPECT_EQ(Names("\\Gated\\gated-model").size(), 4u);  // its tree is open, its files are not
  g_host.Clear();
  int32_t result = -1;
  std::thread([&] { result = GetFile("\\Gated\\gated-model\\config.json", LocalPath("config.json")); }).join();
  EXPECT_EQ(result, 3);
  EXPECT_EQ(g_host.Log(),
            (std::vector<std::string>{"GATED tree: gated-org/gated-model",
                                      "(gated prompt suppressed \xe2\x80\x94 background transfer thread)",
                                      "GATED file: gated-org/gated-model/config.json"}));
  EXPECT_TRUE(g_host.questions.empty());
  g_host.Clear();  // the main thread is not asked later either: the repository was handled
  EXPECT_EQ(GetFile("\\Gated\\gated-model\\config.json", LocalPath("config.json")), 3);
  EXPECT_EQ(g_host.Log(), std::vector<std::string>{"GATED file: gated-org/gated-model/config.json"});
  EXPECT_TRUE(g_host.questions.empty());
}

}  // namespace
