// The settings export writes the file the user chose, which may sit on a slow or stalled share. A FIFO
// stands in for it: the writer blocks on it until the test reads, for as long as the test likes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "config/settings_file.h"
#include "core/state.h"
#include "core/text.h"
#include "platform/platform.h"
#include "support/test_env.h"

namespace {

bool LockIsFree() {
  return std::async(std::launch::async, [] {
           const bool got = g_state.lock.try_lock();
           if (got) g_state.lock.unlock();
           return got;
         }).get();
}

// Fault: export wrote the chosen file under the plugin-wide lock, so a stalled file stalled every
// download and listing with it.
TEST(ExportLock, TheChosenFileIsWrittenWithoutTheLock) {
  const std::u16string folder = MakeTempFolder("export-lock");
  ResetLinkedState(folder);
  {
    StateLock guard(g_state.lock);
    // More than a pipe holds, so the writer cannot finish before the test has looked at the lock.
    for (int i = 0; i < 2000; ++i) {
      g_state.entries.push_back(Entry{"id-" + std::to_string(i), OrgModels, ModelRepo, "org", "", u"Entry " + WideDecimal(i)});
    }
  }
  const std::u16string target = JoinFsPath(folder, u"settings.json");
  std::promise<uint32_t> writer_id;
  std::promise<void> go;
  std::future<bool> exported = std::async(std::launch::async, [&, started = go.get_future()]() mutable {
    writer_id.set_value(PlatformThreadId());
    started.wait();
    return ExportSettings(target, false);
  });
  // The writer's temporary file beside the target is the FIFO.
  const std::string fifo = WideToUtf8(target + u"." + WideDecimal(writer_id.get_future().get()) + u".tmp");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  go.set_value();
  const int reader = open(fifo.c_str(), O_RDONLY);  // returns once the writer has opened the file
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(LockIsFree()) << "the lock is held while the file is written";
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = read(reader, buffer, sizeof(buffer))) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(reader);
  // Moving the file into place opens it once more to flush it, which on a FIFO waits for a writer.
  for (int tries = 0; tries < 3000 && exported.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready;
       ++tries) {
    const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) close(writer);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  exported.get();
  EXPECT_NE(text.find("\"Entry 1999\""), std::string::npos) << "the whole document went to the file";
  ResetLinkedState(folder);
}

}  // namespace
