// The one process-wide state of the module, its lock, logging and the main-thread check.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/entry.h"
#include "core/host_callbacks.h"

// A change of a host operation waiting for its commit (plugin/writes.cpp), in plain values: the state
// holds no type of the layers above.
struct PendingChange {
  enum Kind : uint8_t { Put, CopyLarge, Delete, DeleteFolder } kind = Put;
  std::string path;              // in the repository, "/"-separated
  std::u16string shown_name;     // as the host named it, for messages
  std::u16string local_path;     // Put
  bool temporary = false;        // Put: a file of the module's own (a rename's download), removed after the commit
  // Put: what was read and announced when the host handed the file over; the file must still be so.
  int64_t size = -1;
  int64_t mtime = 0;
  std::string sample;
  bool large = false;
  bool announced = false;        // Put: the hub was asked how it goes (and a large one uploaded); else at the commit
  std::string sha256;            // Put of a large file, and CopyLarge's object
};

// The changes one operation makes to one repository at one revision, and the commit they were made against.
struct PendingCommit {
  std::string repo_id;
  RepoType repo_type = ModelRepo;
  std::string revision = "main";
  bool create_pr = false;
  std::string parent_commit;  // the commit the host was shown; empty when the listing named none
  std::vector<PendingChange> changes;
  // With create_pr: the pull request an earlier commit of this operation opened (refs/pr/N) and its
  // head, where the operation's later changes go; empty until one is opened.
  std::string pull_request;
  std::string pull_request_head;
};

// What one host operation (FsStatusInfoW start to end) on one thread has gathered.
struct WriteBatch {
  int32_t operation = 0;
  int32_t depth = 0;                         // starts not yet ended (a host may nest them)
  std::vector<PendingCommit> commits;        // one per repository and revision, in the order first touched
  std::set<std::string> revisions_checked;   // repositories whose revision took changes in this operation
  std::map<std::string, std::pair<bool, std::u16string>> revisions_refused;  // those that did not: read-only?, why
  std::vector<std::u16string> messages;      // failures met on the way, told once at the end
};

struct PluginState {
  int32_t plugin_number = 0;                  // given by FsInitW; first argument of every callback
  HostProgressProc progress = nullptr;        // host progress callback; non-zero return cancels
  HostLogProc log = nullptr;                  // host log callback
  HostRequestProc request = nullptr;          // host request callback (yes/no questions)
  void* module_handle = nullptr;              // this module, for its resources
  uint32_t main_thread_id = 0;                // thread that called FsInitW; 0 before
  std::u16string config_folder;               // roaming folder + "tarnfs"
  std::u16string cache_folder;                // config folder + "cache", or the configured one
  std::u16string favorites_path;              // config folder + "favorites.json"
  std::u16string api_key;                     // plain key, empty when none
  int32_t cache_ttl_hours = 24;               // listing cache time-to-live
  int32_t download_connections = kDefaultDownloadConnections;  // per download; 1 to 16 when used
  bool use_local_hf_cache = true;             // copy files the hub's Python tools already hold locally
  int32_t check_changes_seconds = kDefaultCheckChangesSeconds;  // how often a browsed revision is resolved
  std::vector<Entry> entries;                 // root folders in listing order
  std::set<std::u16string> delete_suppressed; // names removed during the host's delete
  std::set<std::u16string> open_listings;     // normalized paths of listings the host holds
  bool delete_suppression_active = false;     // between the host's delete start and end notices
  Entry temporary_entry;                      // the unsaved entry of a temporary browse
  bool temporary_present = false;             // temporary_entry is in use
  std::recursive_mutex lock;                  // guards every field from config_folder on
  std::string hub_site_url = kDefaultHubSiteUrl;  // hub root ending in "/"; "hub_url" in favorites.json
  std::set<std::string> gated_prompted;       // repositories already prompted about, never emptied
  std::map<std::string, std::string> space_sdks;  // the hub's word on a Space's SDK by "owner/name@revision"
  std::map<uint32_t, WriteBatch> write_batches;   // the host operation under way, by the thread it runs on
  std::vector<std::u16string> queued_messages;    // write failures of other threads, for the main thread to tell
  std::set<std::u16string> made_folders;          // normalized paths made inside repositories, shown until files come

  static constexpr const char* kDefaultHubSiteUrl = "https://huggingface.co/";
  // Eight connections fill a link whose content network caps each connection at an eighth of it or
  // more, and stay well inside what servers allow one client; "download_connections" changes it.
  static constexpr int32_t kDefaultDownloadConnections = 8;
  static constexpr int32_t kMaxDownloadConnections = 16;
  // The hub team's own mount shows a push within about 30 s; a minute costs one small request a
  // minute per repository browsed.
  static constexpr int32_t kDefaultCheckChangesSeconds = 60;
};

extern PluginState g_state;

using StateLock = std::lock_guard<std::recursive_mutex>;

// Writes one detail line through the host's log callback, when there is one.
void LogMessage(const std::u16string& text);
// Asks the host a yes/no question; false when there is no request callback or the user says no.
bool AskHostYesNo(const std::u16string& title, const std::u16string& text);
// One request box of any type (core/host_callbacks.h). `answer`, when given, carries the default in
// and the typed text out. False when there is no request callback, or for Cancel / No.
bool AskHost(int32_t request_type, const std::u16string& title, const std::u16string& text, std::u16string* answer);
// True before FsInitW, and on the thread that called it.
bool IsMainThread();

// The special root names, compared exactly.
extern const std::u16string kAddNewEntryName;  // "[Add New Entry]"
extern const std::u16string kSettingsName;     // "[Settings]"
extern const std::u16string kTemporaryName;    // "***_TEMPORARY_***"
bool IsSpecialName(const std::u16string& component);

// The caller holds the lock; the pointer is valid only while it does.
Entry* FindEntryByName(const std::u16string& name);
// A special name, or the display name of an entry.
bool IsNameTaken(const std::u16string& name);
// True while the host holds the listing of this normalized path open (between find-first and close).
bool IsListingOpen(const std::u16string& normalized_path);

// Accessors that take the lock themselves.
std::string ApiKeyUtf8();
std::string HubSiteUrl();   // e.g. "https://huggingface.co/"
std::string HubApiUrl();    // HubSiteUrl() + "api"
std::u16string CacheFolder();
int32_t CacheTtlHours();
int32_t DownloadConnections();  // the option, clamped to 1..kMaxDownloadConnections
bool UseLocalHfCache();
int32_t CheckChangesSeconds();  // the option; 0 (also for a negative one) checks at every listing

// Called by the module entry point on load.
void OnModuleAttach(void* module_handle);
