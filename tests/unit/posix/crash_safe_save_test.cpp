// A child saving favorites.json and a cache file in a loop, killed with SIGKILL at random moments: both
// files then hold the last or the in-flight generation, the backup reads and temporaries do not pile up.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "cache/tree_folders.h"
#include "config/favorites.h"
#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "support/test_env.h"

namespace {

constexpr int kKills = 300;
constexpr auto kTimeBudget = std::chrono::seconds(60);

// Generation `g` as 40 entries (several kilobytes) in favorites.json, then as a tree of 200 items.
void SaveGeneration(int64_t g) {
  {
    StateLock guard(g_state.lock);
    g_state.entries.assign(40, Entry());
    for (Entry& e : g_state.entries) {
      e.display_name = u"gen-" + WideDecimal(g);
      e.org = "padding-padding-padding-padding";
      e.cached_at = g;
    }
  }
  SaveFavorites();
  TreeFolderRecord tree;
  tree.repo_id = "acme/model";
  tree.folder = "folder";
  tree.fetched_at = g;
  tree.items.assign(200, TreeItem());
  for (TreeItem& item : tree.items) item.path = "folder/file-" + std::to_string(g) + ".bin";
  SaveTreeFolder(tree);
}

// Every entry carries the generation; -1 when the file holds none or mixed ones.
int64_t LoadedGeneration() {
  LoadFavorites();
  StateLock guard(g_state.lock);
  if (g_state.entries.size() != 40) return -1;
  for (const Entry& e : g_state.entries) {
    if (e.cached_at != g_state.entries[0].cached_at) return -1;
  }
  return g_state.entries[0].cached_at;
}

bool ReadReport(int fd, int64_t* value, int timeout_ms) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, timeout_ms) == 1 && read(fd, value, sizeof *value) == sizeof *value;
}

long CountTemporaries(const std::u16string& folder) {
  const std::filesystem::directory_iterator items(FsPath(folder));
  return std::count_if(begin(items), end(items), [](const auto& item) { return item.path().extension() == ".tmp"; });
}

TEST(CrashSafeSave, EveryKillLeavesTheLastOrTheNextStateAndNoPileOfTemporaries) {
  const std::u16string folder = MakeTempFolder("crash");
  const std::u16string cache = JoinFsPath(folder, u"cache");
  std::filesystem::create_directories(FsPath(cache));
  {
    StateLock guard(g_state.lock);
    g_state.favorites_path = JoinFsPath(folder, u"favorites.json");
    g_state.cache_folder = cache;
    g_state.cache_ttl_hours = 24;
  }
  SaveGeneration(0);
  // One save of each file, timed, so that kills land anywhere in a child's first two rounds.
  const auto start = std::chrono::steady_clock::now();
  SaveGeneration(0);  // now with a backup
  const auto round = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  std::mt19937 random(12345);
  std::uniform_int_distribution<int64_t> delay_us(0, 2 * round.count() + 1000);
  int64_t favorites_on_disk = 0, tree_on_disk = 0, next_generation = 1;
  int kills = 0, saves_seen = 0;
  const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
  for (; kills < kKills && std::chrono::steady_clock::now() < deadline; ++kills) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const int64_t first = next_generation;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(report[0]);
      const int64_t started = -1;  // the random delay starts here, not at fork, which a loaded machine may stall
      if (write(report[1], &started, sizeof started) != sizeof started) _exit(1);
      for (int64_t g = first;; ++g) {  // reports each generation once both files hold it
        SaveGeneration(g);
        if (write(report[1], &g, sizeof g) != sizeof g) _exit(1);
      }
    }
    close(report[1]);
    int64_t value = 0;
    const bool started = ReadReport(report[0], &value, 30000) && value == -1;
    // Every tenth kill waits for a whole generation first, so kills land after completed saves too.
    const bool completed = started && kills % 10 == 0 && ReadReport(report[0], &value, 30000);
    if (started) usleep(delay_us(random));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child ended on its own";
    ASSERT_TRUE(started) << "kill " << kills << ": the child never started";
    ASSERT_TRUE(completed || kills % 10 != 0) << "kill " << kills << ": the child saved nothing within 30 s";
    int64_t done = completed ? value : first - 1;
    bool reported = completed;
    while (read(report[0], &value, sizeof value) == sizeof value) done = value, reported = true;
    close(report[0]);
    saves_seen += static_cast<int>(done - first + 1);
    // Allowed: the last completed generation (with none this round, what was on disk before), or the next.
    const std::set<int64_t> favorites_ok = {reported ? done : favorites_on_disk, done + 1};
    const int64_t favorites = LoadedGeneration();
    ASSERT_TRUE(favorites_ok.count(favorites)) << "kill " << kills << ": favorites.json holds " << favorites;
    TreeFolderRecord tree;  // its file's time is its generation: read it whatever its age
    LoadTreeFolderOfAnyAge("acme/model", ModelRepo, "main", "folder", TreeRecordRead::Whole, &tree);
    const std::set<int64_t> tree_ok = {reported ? done : tree_on_disk, done + 1};
    ASSERT_TRUE(tree_ok.count(tree.fetched_at) && tree.items.size() == 200)
        << "kill " << kills << ": tree file holds " << tree.fetched_at << " with " << tree.items.size() << " items";
    const nlohmann::json backup =
        nlohmann::json::parse(ReadTextFile(JoinFsPath(folder, u"favorites.json.bak")), nullptr, false);
    ASSERT_TRUE(backup.is_object() && backup["entries"].size() == 40) << "kill " << kills << ": backup damaged";
    // What one killed save can leave: its favorites, backup and cache temporaries.
    ASSERT_LE(CountTemporaries(folder), 2) << "kill " << kills;
    ASSERT_LE(CountTemporaries(TreeRecordsFolder(cache, "acme/model", ModelRepo, "main")), 1) << "kill " << kills;
    favorites_on_disk = favorites;
    tree_on_disk = tree.fetched_at;
    next_generation = done + 2;
  }
  EXPECT_GE(kills, 100) << "too few kills within the time budget";
  EXPECT_GT(saves_seen, 0) << "no child finished a save before being killed";
  std::printf("[ figures  ] %d kills survived, %d saves completed in between\n", kills, saves_seen);
}

}  // namespace
