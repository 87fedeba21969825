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

// A fresh, empty configuration folder; returns the plugin's (".../tarnfs"). On Linux XDG_CONFIG_HOME
// and XDG_DATA_HOME point at a new temporary folder; under Wine the prefix's roaming "tarnfs" is emptied.
std::u16string ResetConfigFolder();
// A new, empty temporary folder for test files (left behind when the process ends).
std::u16string MakeTempFolder(const std::string& tag);
void WriteTextFile(const std::u16string& path, const std::string& content);
std::string ReadTextFile(const std::u16string& path);
bool FileExists(const std::u16string& path);
// The threads this process runs now.
int ProcessThreadCount();
// Whether the count of threads comes to `expected` within half a minute, a bound only a broken test
// meets: a joined thread may be counted a while longer where the system reaps it on its own time, and
// Wine's WinHTTP runs a thread of its own for kept connections.
bool ThreadCountSettlesAt(int expected);
// Sets an environment variable of this process (the wide one on Windows); an empty value removes it.
void SetEnvironment(const char* name, const std::u16string& value);
// Points HF_HUB_CACHE and HF_HOME at one empty temporary folder of this process, so that no copy in a
// test reads the user's own cache of the hub's Python tools; returns that folder. Done when the process
// starts, and again by ResetConfigFolder and the fake-hub fixtures, undoing what a test pointed them at.
std::u16string IsolateLocalHfCache();

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

void TARN_CALL RecordLog(int32_t, int32_t, HostChar* text);
HostBool TARN_CALL RecordRequest(int32_t, int32_t, HostChar*, HostChar* text, HostChar*, int32_t);

// The module loaded fresh (its state new), initialised with the recording callbacks (or null ones).
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
  uint64_t size = 0, write_time = 0;
};
bool ListThroughModule(PluginModule& m, const std::string& path_utf8, std::vector<ListedRecord>* records,
                       uint32_t* last_error = nullptr);

std::basic_string<HostChar> H(const std::string& utf8);  // UTF-8 to a host string for calls
