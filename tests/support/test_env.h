// Shared test helpers: an isolated configuration folder, the module loaded as a host loads it, and
// the host callbacks recording what the module sends.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "module_loader.h"
#include "core/files.h"
#include "plugin/host_abi.h"

// A fresh, empty configuration folder for this process. On Linux it points XDG_CONFIG_HOME (and
// XDG_DATA_HOME) at a new temporary folder; on Windows the roaming folder is the Wine prefix's own, so
// its "tarnfs" folder is emptied instead. Returns the plugin's configuration folder (".../tarnfs").
std::u16string ResetConfigFolder();
// A fresh temporary folder for test files (removed by the next call's process exit is not guaranteed).
std::u16string MakeTempFolder(const std::string& tag);
void WriteTextFile(const std::u16string& path, const std::string& content);
std::string ReadTextFile(const std::u16string& path);
bool FileExists(const std::u16string& path);
// The threads this process runs now.
int ProcessThreadCount();

// The linked-in plugin state as FsInitW leaves it with `folder` as the configuration folder: no
// entries, no key, cache folder `folder`/cache, 24 hours, favorites.json inside `folder`.
void ResetLinkedState(const std::u16string& folder);

// What the module sent through the host callbacks.
struct HostRecorder {
  std::mutex lock;
  std::vector<std::string> log_lines;          // UTF-8
  std::vector<std::string> questions;          // request texts, every type
  std::deque<std::string> text_answers;        // typed into text, password and URL boxes in order; none: cancel
  std::vector<std::pair<int64_t, int>> progress;  // (call index, percent)
  bool answer_yes = false;
  int cancel_at_progress_call = -1;            // -1: never cancel
  int progress_calls = 0;

  std::vector<std::string> Log();
  bool HasLogLine(const std::string& line);
  void Clear();
};
extern HostRecorder g_host;

int32_t TARN_CALL RecordProgress(int32_t, HostChar*, HostChar*, int32_t percent);
void TARN_CALL RecordLog(int32_t, int32_t, HostChar* text);
HostBool TARN_CALL RecordRequest(int32_t, int32_t, HostChar*, HostChar* text, HostChar*, int32_t);

// The module loaded fresh (its state new), initialised with the recording callbacks.
// `with_callbacks` false passes null callbacks.
struct LoadedModule {
  PluginModule m;
  bool Load(bool with_callbacks = true);
  void Unload();
  ~LoadedModule() { Unload(); }
};

// Lists a folder through the exports. Returns false (and leaves `names` empty) for an invalid handle.
struct ListedRecord {
  std::string name;
  bool folder = false;
  uint64_t size = 0;
  uint64_t write_time = 0;
};
bool ListThroughModule(PluginModule& m, const std::string& path_utf8, std::vector<ListedRecord>* records,
                       uint32_t* last_error = nullptr);

// UTF-8 <-> host strings for calls.
std::basic_string<HostChar> H(const std::string& utf8);
