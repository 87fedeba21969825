// Spaces through the module against the fake hub's spaces-org: an organisation's Spaces and a Space's
// tree, copies of a small and an LFS file, a private Space with and without the key, and the SDK in the
// properties messages. Their paging by the hub's next link: unit/browse_folders_test.cpp.
#include "browse/browse_fixture.h"

namespace {

json SpaceEntry(const std::string& name, const std::string& type, const std::string& target) {
  json e = EntryJson(name, type, target);
  e["kind"] = "space";
  return e;
}

json SpaceEntries() {
  return json::array({SpaceEntry("Spaces", "org-models", "spaces-org"),
                      SpaceEntry("Chat", "single-model", "spaces-org/chat-demo"),
                      SpaceEntry("Docker", "single-model", "spaces-org/docker-app"),
                      SpaceEntry("Lab", "single-model", "spaces-org/private-lab")});
}

class Spaces : public BrowseTest {
 protected:
  void SetUp() override {
    BrowseTest::SetUp();
    Configure(SpaceEntries());
  }
  int32_t Properties(const std::string& remote) {
    std::basic_string<HostChar> buffer = H(remote), verb = H("properties");
    buffer.resize(260, 0);
    return module_.m.FsExecuteFileW(nullptr, buffer.data(), verb.data());
  }
};

TEST_F(Spaces, AnOrganisationListsItsSpacesAndEachSpaceItsFiles) {
  // `request`: how the first request starts; null: served from what earlier rows stored.
  // A Space's tree is listed at the commit its main is at, asked of the Spaces' revision info.
  struct Row { const char* path; std::vector<std::string> names; std::string request; };
  const Row rows[] = {
      {"\\Spaces", {"chat-demo", "docker-app", "static-page"},  // the private one only with the key
       "/api/spaces?author=spaces-org&limit=300&sort=lastModified&expand=lastModified&expand=sdk"},
      {"\\Spaces\\docker-app", {"app", "weights", "Dockerfile"},
       "/api/spaces/spaces-org/docker-app/tree/" + HubCommitOf("spaces", "spaces-org/docker-app") + "?"},
      {"\\Spaces\\docker-app\\weights", {"model.bin"}, ""},
      {"\\Chat", {"README.md", "app.py", "requirements.txt"},
       "/api/spaces/spaces-org/chat-demo/tree/" + HubCommitOf("spaces", "spaces-org/chat-demo") +
           "?recursive=true&expand=true&limit=100"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Names(row.path), row.names) << row.path;
    const std::vector<std::string> requests = TakeRequests();
    if (row.request.empty()) {
      EXPECT_TRUE(requests.empty()) << row.path;
    } else {
      EXPECT_NE(CountWithPrefix(requests, row.request), 0u) << row.path << ": " << ::testing::PrintToString(requests);
    }
  }
  const std::vector<ListedRecord> spaces = List("\\Spaces");
  ASSERT_FALSE(spaces.empty());
  EXPECT_TRUE(spaces[0].folder);
  EXPECT_NE(spaces[0].write_time, 0u) << "the listing's lastModified, asked for by name";
}

TEST_F(Spaces, CopiesASmallFileAndAnLfsFile) {
  // folder listed first (as a host does), file, its first request, and where its bytes came from
  const struct { const char *folder, *file; std::string request; const char* bytes; std::string content; } cases[] = {
      {"\\Chat", "requirements.txt",
       "/spaces/spaces-org/chat-demo/resolve/" + HubCommitOf("spaces", "spaces-org/chat-demo") + "/requirements.txt",
       "/api/resolve-cache/spaces/spaces-org/chat-demo/", "gradio==4.44.0\n"},
      {"\\Spaces\\docker-app\\weights", "model.bin",
       "/spaces/spaces-org/docker-app/resolve/" + HubCommitOf("spaces", "spaces-org/docker-app") + "/weights/model.bin",
       nullptr, GeneratedBytes(20971520)},  // an LFS file: from the storage host
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(Names(c.folder).empty()) << c.folder;
    TakeRequests();
    EXPECT_EQ(GetFile(std::string(c.folder) + "\\" + c.file, LocalPath(c.file)), 0) << c.file;
    EXPECT_TRUE(ReadTextFile(LocalPath(c.file)) == c.content) << c.file;
    const std::vector<std::string> requests = TakeRequests();
    ASSERT_FALSE(requests.empty()) << c.file;
    EXPECT_EQ(requests[0], c.request) << c.file;
    EXPECT_EQ(CountWithPrefix(requests, "/api/resolve-cache/"), c.bytes ? 1u : 0u) << c.file;
    if (c.bytes) EXPECT_EQ(CountWithPrefix(requests, c.bytes), 1u) << c.file;
  }
}

TEST_F(Spaces, APrivateSpaceOpensWithTheKeyAndAsksForItsPageWithout) {
  EXPECT_TRUE(List("\\Lab").empty());
  EXPECT_TRUE(g_host.HasLogLine("GATED tree: spaces-org/private-lab"));
  ASSERT_EQ(g_host.questions.size(), 1u);
  EXPECT_NE(g_host.questions[0].find("Open the Space page in your browser now?"), std::string::npos);
  EXPECT_EQ(GetFile("\\Lab\\index.html", LocalPath("index.html")), 3);

  Configure(SpaceEntries(), "", "hf_test_good");
  EXPECT_EQ(Names("\\Lab"), std::vector<std::string>{"index.html"});
  EXPECT_EQ(Names("\\Spaces"), (std::vector<std::string>{"chat-demo", "docker-app", "private-lab", "static-page"}));
  ASSERT_EQ(GetFile("\\Lab\\index.html", LocalPath("index.html")), 0);
  EXPECT_NE(ReadTextFile(LocalPath("index.html")).find("Members only."), std::string::npos);
}

// The temporary folder takes a Space's address and an owner's Spaces address as the add dialog does.
TEST_F(Spaces, TheTemporaryFolderTakesSpacesAddresses) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows module asks with its dialog";
#endif
  g_host.text_answers = {HubUrl() + "spaces/spaces-org/docker-app/tree/main/app",
                         "https://huggingface.co/spaces/spaces-org?sort=likes"};
  EXPECT_EQ(Names("\\***_TEMPORARY_***"), (std::vector<std::string>{"app", "weights", "Dockerfile"}));
  ASSERT_EQ(GetFile("\\***_TEMPORARY_***\\app\\main.py", LocalPath("main.py")), 0);
  EXPECT_EQ(ReadTextFile(LocalPath("main.py")).rfind("from http.server import", 0), 0u);
  Names("\\");  // back at the root the address is forgotten
  EXPECT_EQ(Names("\\***_TEMPORARY_***"), (std::vector<std::string>{"chat-demo", "docker-app", "static-page"}));
  EXPECT_EQ(CountWithPrefix(TakeRequests(), "/api/spaces?author=spaces-org&"), 1u);
}

// Linux shows both through the host's request callback; the Windows dialogs: ui/win32/dialogs_test.cpp.
TEST_F(Spaces, PropertiesTellTheSdkFromTheListingOrAskTheHubOnce) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows module shows a message box and its dialog";
#endif
  // No listing of the organisation yet: the hub is asked, once.
  for (int again = 0; again < 2; ++again) {
    g_host.Clear();
    EXPECT_EQ(Properties("\\Docker"), -2);  // the entry's settings, and back to the root
    ASSERT_FALSE(g_host.questions.empty());
    EXPECT_NE(g_host.questions[0].find("\nType: Space (docker)\n"), std::string::npos) << g_host.questions[0];
  }
  EXPECT_EQ(TakeRequests(), std::vector<std::string>{"/api/spaces/spaces-org/docker-app?expand=sdk"});

  Names("\\Spaces");
  TakeRequests();
  g_host.Clear();
  EXPECT_EQ(Properties("\\Spaces\\chat-demo"), 0);
  EXPECT_EQ(g_host.questions, std::vector<std::string>{"Space: spaces-org/chat-demo\nSDK: gradio"});
  EXPECT_TRUE(TakeRequests().empty()) << "the organisation's listing named it";

  g_host.Clear();
  EXPECT_EQ(Properties("\\Chat\\app.py"), -1);  // a file: the host's own properties
  EXPECT_TRUE(g_host.questions.empty());
}

}  // namespace
