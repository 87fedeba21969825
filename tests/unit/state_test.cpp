// The main-thread check and logging through the host's callback.
#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"
#include "core/state.h"
#include "support/test_env.h"

TEST(IsMainThread, TrueEverywhereBeforeStartUpThenOnlyOnTheStartingThread) {
  const uint32_t saved = g_state.main_thread_id;
  for (const uint32_t main : {0u, PlatformThreadId()}) {
    g_state.main_thread_id = main;
    bool other = false;
    std::thread([&] { other = IsMainThread(); }).join();
    EXPECT_EQ(other, main == 0);
    EXPECT_TRUE(IsMainThread());
  }
  g_state.main_thread_id = saved;
}

TEST(LogMessage, GoesToTheHostOnlyWhenItGaveACallback) {
  g_host.Clear();
  const HostLogProc saved = g_state.log;
  g_state.log = nullptr;
  LogMessage(u"dropped");
  g_state.log = RecordLog;
  LogMessage(u"kept \u2014 dash");
  g_state.log = saved;
  EXPECT_EQ(g_host.Log(), std::vector<std::string>{"kept \xe2\x80\x94 dash"});
}
