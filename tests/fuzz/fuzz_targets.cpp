// libFuzzer targets for every parser of outside input. One object, one executable per target named
// fuzz_<target>: the executable's own name picks the target. Hub bodies arrive through the injected exchange, files
// through a scratch folder, so each target runs the same code path as the module does.
//
// Hub inputs: "<Link header value>\n\n<body>" (no blank line: the whole input is the body). Every
// hub target also checks that the key never leaves the configured origin.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "cache/listing_cache.h"
#include "cache/tree_folders.h"
#include "config/favorites.h"
#include "hub/api.h"
#include "hub/commit.h"
#include "hub/http.h"
#include "hub/ratelimit.h"
#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"

namespace {

constexpr const char* kKey = "hf_fuzz_key";
const uint8_t* g_data = nullptr;
size_t g_size = 0;
int g_calls = 0;
std::filesystem::path g_scratch;

// The key belongs to the configured hub (https://huggingface.co) and nowhere else.
void CheckKeyStaysHome(const HttpExchangeRequest& request) {
  const bool home = request.secure && EqualsNoCaseAscii(request.host, u"huggingface.co") && request.port == 443;
  if (!request.bearer_key.empty() && !home) __builtin_trap();
}

std::string Input() { return std::string(reinterpret_cast<const char*>(g_data), g_size); }

// The input as UTF-16 code units, two bytes each, so lone surrogates and NULs are reachable.
std::u16string InputUnits() {
  std::u16string units(g_size / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(g_data[2 * i] | (g_data[2 * i + 1] << 8));
  return units;
}

// Serves the input: the first answer carries its Link header and body; later pages (if the Link is
// followed) get the same body without a Link, so paging ends. With `g_redirect` the first answer is
// instead a redirect to the input as its Location, and every later hop 200 with an empty body.
bool g_redirect = false;
HttpExchangeResult ServeInput(const HttpExchangeRequest& request, HttpResponseHead* head, const HttpHeadSink& on_head,
                              const HttpBodySink& on_body) {
  CheckKeyStaysHome(request);
  const std::string input = g_redirect ? "" : Input();
  const size_t split = input.find("\n\n");
  const std::string body = split == std::string::npos ? input : input.substr(split + 2);
  head->status = g_redirect && g_calls == 0 ? 302 : 200;
  if (request.method == HttpMethod::Put) head->etag = "\"e\"";  // as a storage names a part
  if (head->status == 302) head->location = InputUnits();
  if (split != std::string::npos && g_calls == 0) head->link = Utf8ToWide(input.substr(0, split));
  ++g_calls;
  if (on_head && !on_head(*head)) return HttpExchangeResult::Complete;
  if (on_body && !body.empty()) on_body(body.data(), body.size());
  return HttpExchangeResult::Complete;
}

void WriteInputTo(const std::filesystem::path& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(g_data), static_cast<std::streamsize>(g_size));
}

void HubOrgPage() {
  ListAllRepos("acme", kKey, 0, ModelRepo);
  g_calls = 0;
  ListReposPage("acme", kKey, 50, DatasetRepo);
  g_calls = 0;
  for (const RepoInfo& space : ListReposPage("acme", kKey, 50, SpaceRepo).items) {
    if (space.sdk.size() > 32) __builtin_trap();  // shown in a message and kept in a cache file
  }
}
// The recursive answer's first page, a folder's pages, and the date worker's page fetch.
void HubTreePage() {
  TreeQuery whole;
  whole.recursive = whole.expand = true;
  whole.limit = kTreeDatesPageLimit;
  whole.max_pages = 1;
  ListTree("acme/model", kKey, ModelRepo, whole);
  g_calls = 0;
  TreeQuery folder;
  folder.folder = "data/sub dir";
  const TreePages pages = ListTree("acme/model", kKey, ModelRepo, folder);
  if (pages.items.size() > kMaxFolderItems) __builtin_trap();
  g_calls = 0;
  const std::atomic<bool> stop{false};
  FetchTreePage(u"https://huggingface.co/api/models/acme/model/tree/main/data?expand=true&limit=100", kKey,
                "https://huggingface.co/", &stop);
}
void HubCollectionsPage() { ListOwnerCollections("acme", kKey); }
void HubCollection() { ListCollectionModels("acme/picks-65f000000000000000000001", kKey); }
void HubWhoami() { CheckApiKey(kKey); }
void HubSpaceInfo() {
  for (const char* revision : {"main", "refs/pr/1"}) {
    g_calls = 0;
    if (FetchSpaceSdk("acme/app", revision, kKey).sdk.size() > 32) __builtin_trap();
  }
}

// Every answer of a commit (the refs, the preupload, the LFS batch with its part plan, the storage's,
// the completion's, the commit's) is the input: one document can be all of them. A write that does
// not end done says why, and the key never reaches an address the answers name elsewhere.
void HubWriteAnswers() {
  CommitRequest request;
  request.target.site_url = "https://huggingface.co/";
  request.target.api_key = kKey;
  request.target.repo_id = "acme/model";
  request.summary = "Fuzz";
  for (const char* name : {"w.bin", "notes.txt"}) {
    CommitOperation op;
    op.path = name;
    op.local_path = Utf8ToWide((g_scratch / name).string());
    request.operations.push_back(op);
  }
  const CommitResult result = CommitChanges(request);
  if (!result.outcome.Done() && result.outcome.message.empty()) __builtin_trap();
}

// The input as an answer's header lines: every number read is bounded, and a 429 carrying them pauses
// the API for a second at least and no longer than the window it announced (300 s without one), unless
// they say the API has requests left (another limit refused it).
void RateLimitHeadersInput() {
  const std::string raw = Input();
  for (const char* bucket : {"api", "resolvers"}) {
    const RateLimitHeaders h = ReadRateLimitHeaders(raw, bucket, 1760000800);
    for (const int64_t v : {h.remaining, h.reset_seconds, h.quota, h.window_seconds, h.retry_after}) {
      if (v < -1 || v > kMaxRateLimitNumber) __builtin_trap();
    }
  }
  const RateLimitHeaders api = ReadRateLimitHeaders(raw, "api", 1760000800);
  const int64_t longest = api.window_seconds > 0 ? std::min(api.window_seconds, kMaxPauseSeconds) : kDefaultWindowSeconds;
  ForgetRateLimits();
  NoteApiAnswer(429, raw);
  const RateLimitView view = ApiRateLimit();
  if (view.paused != (api.remaining <= 0)) __builtin_trap();
  if (view.paused && (view.seconds_left < kMinPauseSeconds || view.seconds_left > longest)) __builtin_trap();
  if (view.remaining < -1 || view.remaining > kMaxRateLimitNumber) __builtin_trap();
  ForgetRateLimits();
  ParseHttpDate(raw);
}

void LinkHeader() {
  const std::u16string next = ParseNextLink(InputUnits());
  if (next.size() > g_size) __builtin_trap();  // a part of the input, never more
}

void UrlSplit() {
  SplitUrl split;
  if (!SplitHttpUrl(InputUnits(), &split)) return;
  if (split.host.empty() || split.path.empty() || split.path[0] != u'/' || split.port == 0) __builtin_trap();
  for (char16_t c : split.path + split.extra) {
    if (c < 0x20 || c == 0x7F) __builtin_trap();  // would end the request line
  }
}

void RedirectLocation() {
  ResolveRedirect(u"https://huggingface.co/api/models/acme/x/tree/main?recursive=true", InputUnits());
  HttpFetch(u"https://huggingface.co/api/models/acme/x/tree/main", kKey, HttpFetchOptions(), nullptr, nullptr,
            nullptr);
}

void FavoritesFile() {
  // A configured cache folder is created on load: keep it inside the scratch folder.
  const nlohmann::json doc = nlohmann::json::parse(Input(), nullptr, false);
  if (doc.is_object() && doc.contains("cache_path") && doc["cache_path"].is_string()) {
    const std::string folder = doc["cache_path"].get<std::string>();
    if (!FsPath(Utf8ToWide(folder)).is_relative() || folder.find("..") != std::string::npos) return;
  }
  WriteInputTo(g_scratch / "favorites.json");
  LoadFavorites();
  // Unreadable files are kept aside under new names; drop them so the folder stays small.
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(g_scratch, ec)) {
    if (item.path().filename() != "favorites.json" && item.path().filename() != "cache") {
      std::filesystem::remove_all(item.path(), ec);
    }
  }
}

// Writes the input as the named cache file and loads it back as the module does on a listing.
template <typename Record, typename Load>
void CacheFile(const std::string& name, Load load_fresh) {
  WriteInputTo(g_scratch / "cache" / (name + ".json"));
  Record record;
  load_fresh(&record);
}
void CacheOrgRepos() {
  CacheFile<OrgReposCache>(OrgReposCacheName("acme", ModelRepo), [](auto* r) { LoadFreshOrgReposCache("acme", ModelRepo, r); });
}
// A folder record read for a listing and whole: a whole read is never readable where the listing's
// is not, and both see the same items, all in the record's own folder.
void CacheTreeFolder() {
  const std::u16string cache = Utf8ToWide((g_scratch / "cache").string());
  WriteInputTo(FsPath(TreeFolderRecordPath(cache, "acme/model", ModelRepo, "main", "data")));
  TreeFolderRecord names, whole;
  const bool listed = ReadTreeFolderRecord(cache, "acme/model", ModelRepo, "main", "data", TreeRecordRead::Names, &names);
  const bool read = ReadTreeFolderRecord(cache, "acme/model", ModelRepo, "main", "data", TreeRecordRead::Whole, &whole);
  if (read && (!listed || whole.items.size() != names.items.size())) __builtin_trap();
  for (size_t i = 0; listed && i < names.items.size(); ++i) {
    if (names.items[i].path.compare(0, 5, "data/") != 0 || (read && whole.items[i].path != names.items[i].path)) {
      __builtin_trap();
    }
  }
}
void CacheOrgCollections() {
  CacheFile<OrgCollectionsCache>(OrgCollectionsCacheName("acme"), [](auto* r) { LoadFreshOrgCollectionsCache("acme", r); });
}
void CacheCollectionItems() {
  const std::string slug = "acme/picks-65f000000000000000000001";
  CacheFile<CollectionItemsCache>(CollectionItemsCacheName(slug), [&](auto* r) { LoadFreshCollectionItemsCache(slug, r); });
}

struct Target {
  const char* name;
  void (*run)();
};
const Target kTargets[] = {
    {"rate_limit_headers", RateLimitHeadersInput},
    {"hub_org_page", HubOrgPage},       {"hub_tree_page", HubTreePage}, {"hub_collections_page", HubCollectionsPage},
    {"hub_collection", HubCollection},  {"hub_whoami", HubWhoami},      {"hub_space_info", HubSpaceInfo},
    {"link_header", LinkHeader},        {"hub_write_answers", HubWriteAnswers},
    {"url_split", UrlSplit},            {"redirect_location", RedirectLocation},
    {"favorites_file", FavoritesFile},  {"cache_org_repos", CacheOrgRepos},
    {"cache_tree_folder", CacheTreeFolder}, {"cache_org_collections", CacheOrgCollections},
    {"cache_collection_items", CacheCollectionItems}};
void (*g_run)() = nullptr;

// The scratch folder's configuration; loading favorites may point the state elsewhere, so every input
// starts from it again.
void ResetState() {
  StateLock guard(g_state.lock);
  g_state.config_folder = Utf8ToWide(g_scratch.string());
  g_state.favorites_path = Utf8ToWide((g_scratch / "favorites.json").string());
  g_state.cache_folder = Utf8ToWide((g_scratch / "cache").string());
  g_state.cache_ttl_hours = 24;
  g_state.hub_site_url = PluginState::kDefaultHubSiteUrl;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  const std::string program = std::filesystem::path((*argv)[0]).filename().string();
  for (const Target& target : kTargets) {
    if (program == std::string("fuzz_") + target.name) g_run = target.run;
  }
  if (!g_run) {
    std::fprintf(stderr, "%s: not a fuzz target name\n", program.c_str());
    std::abort();
  }
  char pattern[] = "/tmp/tarnfs-fuzz-XXXXXX";
  if (!mkdtemp(pattern)) std::abort();
  g_scratch = pattern;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_scratch, ec);
  });
  std::filesystem::create_directories(
      FsPath(TreeRecordsFolder(Utf8ToWide((g_scratch / "cache").string()), "acme/model", ModelRepo, "main")));
  std::filesystem::current_path(g_scratch);
  setenv("XDG_DATA_HOME", pattern, 1);  // the key file of the POSIX protection
  g_redirect = g_run == RedirectLocation;
  // The write target's local files: 1,000 bytes i % 251 (make_seeds.py names their SHA-256), and text.
  std::string large(1000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i % 251);
  std::ofstream(g_scratch / "w.bin", std::ios::binary) << large;
  std::ofstream(g_scratch / "notes.txt", std::ios::binary) << "hello\n";
  SetHttpExchangeForTesting(&ServeInput);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_data = data;
  g_size = size;
  g_calls = 0;
  ResetState();
  g_run();
  return 0;
}
