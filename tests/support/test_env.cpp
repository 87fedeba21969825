// Shared test helpers; see test_env.h.
#include "test_env.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/platform.h"
#include "core/state.h"
#include "core/text.h"

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#else
#include <unistd.h>
#endif

HostRecorder g_host;

namespace {
int g_temp_counter = 0;

std::u16string TempRoot() {
  std::error_code ec;
  auto base = std::filesystem::temp_directory_path(ec);
#if defined(_WIN32)
  std::wstring w = base.wstring();
  std::u16string root(w.begin(), w.end());
  return JoinFsPath(root, u"tarnfs-tests-" + WideDecimal(GetCurrentProcessId()));
#else
  return Utf8ToWide(base.string() + "/tarnfs-tests-" + std::to_string(getpid()));
#endif
}
}  // namespace

void SetEnvironment(const char* name, const std::u16string& value) {
#if defined(_WIN32)
  const std::wstring wide_name(name, name + std::strlen(name));
  const std::wstring wide_value(value.begin(), value.end());
  SetEnvironmentVariableW(wide_name.c_str(), value.empty() ? nullptr : wide_value.c_str());
#else
  if (value.empty()) unsetenv(name);
  else setenv(name, WideToUtf8(value).c_str(), 1);
#endif
}

std::u16string IsolateLocalHfCache() {
  static const std::u16string empty = MakeTempFolder("hf-cache-none");
  SetEnvironment("HF_HUB_CACHE", empty);
  SetEnvironment("HF_HOME", JoinFsPath(empty, u"home"));
  return empty;
}

namespace {
// Before any test runs, whichever suite links this.
const bool g_hf_cache_isolated = !IsolateLocalHfCache().empty();
}  // namespace

std::u16string MakeTempFolder(const std::string& tag) {
  std::u16string folder = JoinFsPath(TempRoot(), Utf8ToWide(tag + "-" + std::to_string(++g_temp_counter)));
  std::error_code ec;
  std::filesystem::remove_all(FsPath(folder), ec);
  std::filesystem::create_directories(FsPath(folder), ec);
  return folder;
}

int ProcessThreadCount() {
  int count = 0;
#if defined(_WIN32)
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
#else
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    ++count;
  }
#endif
  return count;
}

bool ThreadCountSettlesAt(int expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ProcessThreadCount() != expected) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::u16string ResetConfigFolder() {
  IsolateLocalHfCache();
#if defined(_WIN32)
  std::u16string config = JoinFsPath(PlatformRoamingFolder(), u"tarnfs");
  std::error_code ec;
  std::filesystem::remove_all(FsPath(config), ec);
  return config;
#else
  std::u16string base = MakeTempFolder("config");
  setenv("XDG_CONFIG_HOME", WideToUtf8(base).c_str(), 1);
  setenv("XDG_DATA_HOME", WideToUtf8(JoinFsPath(base, u"data")).c_str(), 1);
  return JoinFsPath(base, u"tarnfs");
#endif
}

void WriteTextFile(const std::u16string& path, const std::string& content) {
  std::error_code ec;
  std::filesystem::create_directories(FsPath(path).parent_path(), ec);
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ReadTextFile(const std::u16string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::u16string& path) {
  std::error_code ec;
  return std::filesystem::exists(FsPath(path), ec);
}

std::vector<std::string> HostRecorder::Log() {
  std::lock_guard<std::mutex> guard(lock);
  return log_lines;
}

bool HostRecorder::HasLogLine(const std::string& line) {
  std::lock_guard<std::mutex> guard(lock);
  return std::find(log_lines.begin(), log_lines.end(), line) != log_lines.end();
}

void HostRecorder::Clear() {
  std::lock_guard<std::mutex> guard(lock);
  log_lines.clear();
  questions.clear();
  text_answers.clear();
  progress.clear();
  answer_yes = false;
  cancel_at_progress_call = -1;
  progress_calls = 0;
}

static int32_t TARN_CALL RecordProgress(int32_t, HostChar*, HostChar*, int32_t percent) {
  std::lock_guard<std::mutex> guard(g_host.lock);
  const int call = g_host.progress_calls++;
  g_host.progress.emplace_back(call, percent);
  return (g_host.cancel_at_progress_call >= 0 && call >= g_host.cancel_at_progress_call) ? 1 : 0;
}

void TARN_CALL RecordLog(int32_t, int32_t, HostChar* text) {
  std::lock_guard<std::mutex> guard(g_host.lock);
  g_host.log_lines.push_back(FromHostString(text));
}

HostBool TARN_CALL RecordRequest(int32_t, int32_t type, HostChar*, HostChar* text, HostChar* answer, int32_t max_len) {
  std::lock_guard<std::mutex> guard(g_host.lock);
  g_host.questions.push_back(FromHostString(text));
  if (type == kRequestOther || type == kRequestPassword || type == kRequestUrl) {
    if (g_host.text_answers.empty() || !answer || max_len <= 0) return 0;  // cancelled
    const std::basic_string<HostChar> typed = ToHostString(g_host.text_answers.front().substr(0, max_len - 1));
    g_host.text_answers.pop_front();
    std::copy(typed.begin(), typed.end(), answer);
    answer[typed.size()] = 0;
    return 1;
  }
  return g_host.answer_yes ? 1 : 0;
}

void ResetLinkedState(const std::u16string& folder) {
  StateLock guard(g_state.lock);
  g_state.entries.clear();
  g_state.delete_suppressed.clear();
  g_state.api_key.clear();
  g_state.config_folder = folder;
  g_state.cache_folder = JoinFsPath(folder, u"cache");
  g_state.favorites_path = JoinFsPath(folder, u"favorites.json");
  g_state.cache_ttl_hours = 24;
  g_state.use_local_hf_cache = true;
  g_state.check_changes_seconds = PluginState::kDefaultCheckChangesSeconds;
}

bool LoadedModule::Load(bool with_callbacks) {
  Unload();
  std::string error;
  if (!LoadPluginModule(DefaultModulePath(), &m, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  if (with_callbacks) m.FsInitW(7, RecordProgress, RecordLog, RecordRequest);
  else m.FsInitW(7, nullptr, nullptr, nullptr);
  return true;
}

void LoadedModule::Unload() {
  // Listing the root joins the module's date worker, as a host's next listing would: every test
  // leaves no thread of the module behind, and the next load starts fresh.
  if (m.library && m.FsFindFirstW) {
    std::vector<ListedRecord> root;
    ListThroughModule(m, "\\", &root);
  }
  UnloadPluginModule(&m);
}

std::basic_string<HostChar> H(const std::string& utf8) { return ToHostString(utf8); }

bool ListThroughModule(PluginModule& m, const std::string& path_utf8, std::vector<ListedRecord>* records,
                       uint32_t* last_error) {
  records->clear();
  std::basic_string<HostChar> path = H(path_utf8);
  HostFindData data{};
#if defined(_WIN32)
  SetLastError(0);
#else
  errno = 0;
#endif
  HostHandle handle = m.FsFindFirstW(path.data(), &data);
  if (handle == TARN_INVALID_HANDLE) {
#if defined(_WIN32)
    if (last_error) *last_error = GetLastError();
#else
    if (last_error) *last_error = static_cast<uint32_t>(errno);
#endif
    return false;
  }
  do {
    ListedRecord r;
    r.name = FromHostString(data.file_name);
    r.folder = (data.attributes & 0x10) != 0;
    r.size = (static_cast<uint64_t>(data.size_high) << 32) | data.size_low;
    r.write_time = (static_cast<uint64_t>(data.last_write_time.high) << 32) | data.last_write_time.low;
    records->push_back(r);
  } while (m.FsFindNextW(handle, &data));
  m.FsFindClose(handle);
  return true;
}
