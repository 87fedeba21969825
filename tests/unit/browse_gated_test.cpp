// The access-denied prompt: once per repository, only on the main thread, the exact question, and
// the page opened on yes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "browse/browse.h"
#include "platform/platform.h"
#include "plugin/host_text.h"
#include "plugin/state.h"
#include "plugin/text.h"
#include "support/test_env.h"

namespace {

struct Question {
  int32_t plugin_number;
  int32_t type;
  std::u16string title;
  std::u16string text;
  int32_t answer_size;
};

std::mutex g_questions_lock;
std::vector<Question> g_questions;
HostBool g_answer = 0;

HostBool TARN_CALL RecordQuestion(int32_t plugin_nr, int32_t type, HostChar* title, HostChar* text, HostChar*,
                                  int32_t max_len) {
  std::lock_guard<std::mutex> guard(g_questions_lock);
  g_questions.push_back({plugin_nr, type, FromHost(title), FromHost(text), max_len});
  return g_answer;
}

class GatedPrompt : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = {g_state.log, g_state.request, g_state.main_thread_id, g_state.plugin_number};
    g_state.log = RecordLog;
    g_state.request = RecordQuestion;
    g_state.main_thread_id = PlatformThreadId();
    g_state.plugin_number = 7;
    {
      StateLock guard(g_state.lock);
      saved_hub_ = g_state.hub_site_url;
      g_state.hub_site_url = "https://hub.example.test:8443/";
    }
    g_answer = 0;
    g_questions.clear();
    g_host.Clear();
  }
  void TearDown() override {
    g_state.log = saved_.log;
    g_state.request = saved_.request;
    g_state.main_thread_id = saved_.main_thread;
    g_state.plugin_number = saved_.number;
    StateLock guard(g_state.lock);
    g_state.hub_site_url = saved_hub_;
  }
  struct {
    HostLogProc log;
    HostRequestProc request;
    uint32_t main_thread;
    int32_t number;
  } saved_{};
  std::string saved_hub_;
};

TEST_F(GatedPrompt, AsksOncePerRepositoryWithTheFixedText) {
  PromptGatedRepo("unit-a/model");
  PromptGatedRepo("unit-a/model");
  PromptGatedRepo("unit-a/other");
  EXPECT_EQ(g_host.Log(), (std::vector<std::string>{"GATED tree: unit-a/model", "GATED tree: unit-a/other"}));
  ASSERT_EQ(g_questions.size(), 2u);
  const Question& q = g_questions[0];
  EXPECT_EQ(q.plugin_number, 7);
  EXPECT_EQ(q.type, 9);
  EXPECT_EQ(q.answer_size, 1);
  EXPECT_EQ(q.title, u"HuggingFace \u2014 access denied");
  EXPECT_EQ(q.text,
            u"Could not list files in 'unit-a/model'.\n\nThis repository is either gated, private, or the URL is "
            u"misspelled. For gated repos, accept the model's terms on hub.example.test and make sure your API "
            u"key (Settings \u2192 API key) belongs to the same account.\n\nOpen the model page in your browser "
            u"now?");
}

TEST_F(GatedPrompt, ABackgroundThreadOnlyLogsAndUsesUpTheQuestion) {
  std::thread([] { PromptGatedRepo("unit-b/model"); }).join();
  PromptGatedRepo("unit-b/model");
  EXPECT_EQ(g_host.Log(), (std::vector<std::string>{"GATED tree: unit-b/model",
                                                     "(gated prompt suppressed \xe2\x80\x94 background transfer thread)"}));
  EXPECT_TRUE(g_questions.empty());
}

TEST_F(GatedPrompt, WithoutARequestCallbackOnlyTheFirstLineIsWritten) {
  g_state.request = nullptr;
  PromptGatedRepo("unit-c/model");
  EXPECT_EQ(g_host.Log(), (std::vector<std::string>{"GATED tree: unit-c/model"}));
}

#if !defined(_WIN32)  // on Windows the shell starts the browser; there is nothing to stand in for
TEST_F(GatedPrompt, YesOpensTheRepositoryPageUnderTheHubSite) {
  // A stand-in xdg-open on PATH records the address it is asked to open.
  const std::u16string bin = MakeTempFolder("fake-xdg");
  const std::string record = WideToUtf8(JoinFsPath(bin, u"opened.txt"));
  const std::u16string script = JoinFsPath(bin, u"xdg-open");
  WriteTextFile(script, "#!/bin/sh\nprintf '%s' \"$1\" > '" + record + ".part' && mv '" + record + ".part' '" +
                            record + "'\n");
  std::filesystem::permissions(FsPath(script), std::filesystem::perms::owner_all);
  const char* old_path = std::getenv("PATH");
  const std::string saved_path = old_path ? old_path : "";
  setenv("PATH", (WideToUtf8(bin) + ":" + saved_path).c_str(), 1);
  g_answer = 1;
  PromptGatedRepo("unit-d/data set");
  setenv("PATH", saved_path.c_str(), 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!FileExists(Utf8ToWide(record)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ReadTextFile(Utf8ToWide(record)), "https://hub.example.test:8443/unit-d/data set");
}
#endif

}  // namespace
