// Hub addresses to entries.
#include "config/entries_from_url.h"

#include <ctime>
#include <vector>

#include "core/state.h"
#include "core/text.h"
#include "hub/api.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && EqualsNoCaseAscii(text.substr(0, prefix.size()), prefix);
}

// The part of `text` after a recognised hub root; false when `text` names another site.
bool StripHubRoot(const std::string& text, std::string* rest) {
  const std::string configured = HubSiteUrl();
  if (StartsWithNoCase(text, configured)) {
    *rest = text.substr(configured.size());
    return true;
  }
  std::string after_scheme = text;
  const size_t scheme_end = text.find("://");
  if (scheme_end != std::string::npos) {
    const std::string scheme = text.substr(0, scheme_end);
    if (!EqualsNoCaseAscii(scheme, "http") && !EqualsNoCaseAscii(scheme, "https")) return false;
    after_scheme = text.substr(scheme_end + 3);
  }
  const size_t host_end = after_scheme.find('/');
  const std::string host = after_scheme.substr(0, host_end);
  if (EqualsNoCaseAscii(host, "huggingface.co") || EqualsNoCaseAscii(host, "www.huggingface.co") ||
      EqualsNoCaseAscii(host, "hf.co")) {
    *rest = host_end == std::string::npos ? std::string() : after_scheme.substr(host_end + 1);
    return true;
  }
  if (scheme_end != std::string::npos) return false;  // another site
  *rest = text;                                        // a bare owner or owner/name
  return true;
}

// Hub owner and repository names never hold these; text that does is not an address.
bool IsPlainName(const std::string& name) {
  for (char c : name) {
    if (IsBlank(c) || c == ':' || c == '\\' || c == '@' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%XX" escapes decoded; a "%" that starts none stays as it is.
std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The revision a repository page's path after owner/name names ("tree/<rev>/..."), "main" for any other
// page; false when it names one that cannot be a ref.
bool RevisionOfPage(const std::string& tail, std::string* revision) {
  std::vector<std::string> segments;
  for (size_t start = 0; start <= tail.size();) {
    const size_t slash = tail.find('/', start);
    segments.push_back(tail.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  *revision = "main";
  if (segments.size() < 2 || segments[1].empty()) return true;
  if (segments[0] != "tree" && segments[0] != "blob" && segments[0] != "resolve") return true;
  std::string named = segments[1];
  // Written out, a ref's slashes cannot be told from the folder after it: a ref is "refs/<kind>/<name>".
  if (named == "refs" && segments.size() >= 4) named += "/" + segments[2] + "/" + segments[3];
  named = PercentDecoded(named);
  if (!IsRevisionName(named)) return false;
  *revision = named;
  return true;
}

Entry NewEntry(uint32_t type, RepoType repo_type, const std::string& org, const std::string& repo_id,
               const std::u16string& display_name, bool cache_enabled, int64_t now) {
  Entry entry;
  entry.type = type;
  entry.repo_type = repo_type;
  entry.org = org;
  entry.repo_id = repo_id;
  entry.display_name = display_name;
  entry.cache_enabled = cache_enabled;
  entry.created_at = now;
  return entry;
}

}  // namespace

bool ParseHubUrl(const std::u16string& address, HubAddress* out) {
  std::string text = WideToUtf8(address);
  size_t first = 0, last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  text = text.substr(first, last - first);
  const size_t cut = text.find_first_of("?#");
  if (cut != std::string::npos) text.resize(cut);

  std::string rest;
  if (!StripHubRoot(text, &rest)) return false;
  RepoType repo_type = ModelRepo;
  if (rest.compare(0, 9, "datasets/") == 0) {
    rest.erase(0, 9);
    repo_type = DatasetRepo;
  } else if (rest.compare(0, 7, "spaces/") == 0) {
    rest.erase(0, 7);
    repo_type = SpaceRepo;
  } else if (rest.compare(0, 7, "models/") == 0) {
    rest.erase(0, 7);
  }
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.empty()) return false;

  const size_t slash = rest.find('/');
  const std::string owner = rest.substr(0, slash);
  std::string name;
  std::string revision = "main";
  if (slash != std::string::npos) {
    const size_t name_end = rest.find('/', slash + 1);
    name = rest.substr(slash + 1, name_end == std::string::npos ? std::string::npos : name_end - slash - 1);
    if (name_end != std::string::npos && !RevisionOfPage(rest.substr(name_end + 1), &revision)) return false;
  }
  if (owner.empty() || !IsPlainName(owner) || !IsPlainName(name)) return false;
  // No hub name is "." or "..": such an address names nothing, and the folder could not be addressed.
  if (owner == "." || owner == ".." || name == "." || name == "..") return false;
  out->owner = owner;
  out->name = name;
  out->repo_type = repo_type;
  out->revision = revision;
  return true;
}

int AddEntriesFromUrl(const std::u16string& address, bool cache_enabled, bool limit_enabled, int32_t limit_count,
                      bool add_models, bool add_collections, bool add_datasets, bool add_spaces) {
  HubAddress parsed;
  if (!ParseHubUrl(address, &parsed)) return 0;
  const std::string& o = parsed.owner;
  // The collections check may take many pages: asked before the lock, so that a download needing
  // the lock never waits for the hub.
  const bool has_collections =
      parsed.name.empty() && add_collections && !ListOwnerCollections(o, ApiKeyUtf8()).empty();
  StateLock guard(g_state.lock);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  // Ids and names are made against the list as it grows, so no two entries share either: a second
  // folder of one name would open the first entry, and deleting it would remove both.
  auto append = [](Entry entry, const std::string& id_base) {
    bool renamed = false;
    entry.id = MakeUniqueId(id_base);
    entry.display_name = MakeUniqueDisplayName(entry.display_name, &renamed);
    g_state.delete_suppressed.erase(entry.display_name);
    g_state.entries.push_back(std::move(entry));
  };

  if (!parsed.name.empty()) {
    const std::string repo_id = o + "/" + parsed.name;
    const bool on_main = parsed.revision == "main";
    // Made host-safe as every folder name: refs/pr/1's slashes cannot stand in one.
    const std::u16string name =
        SafeFolderName(Utf8ToWide(on_main ? parsed.name : parsed.name + " @ " + parsed.revision));
    Entry entry = NewEntry(SingleModel, parsed.repo_type, o, repo_id, name, cache_enabled, now);
    entry.revision = parsed.revision;
    append(std::move(entry), on_main ? repo_id : repo_id + "@" + parsed.revision);
    return 1;
  }
  struct Kind {
    bool wanted;
    uint32_t type;
    RepoType repo_type;
    const char* suffix;
  };
  const Kind kinds[] = {{add_models, OrgModels, ModelRepo, "models"},
                        {add_datasets, OrgModels, DatasetRepo, "datasets"},
                        {add_spaces, OrgModels, SpaceRepo, "spaces"},
                        {add_collections, OrgCollections, ModelRepo, "collections"}};
  int appended = 0;
  for (const Kind& kind : kinds) {
    if (!kind.wanted) continue;
    if (kind.type == OrgCollections && !has_collections) continue;
    Entry entry = NewEntry(kind.type, kind.repo_type, o, "", Utf8ToWide(o + " - " + kind.suffix), cache_enabled, now);
    entry.limit_enabled = limit_enabled;
    entry.limit_count = limit_count;
    append(std::move(entry), o + "-" + kind.suffix);
    ++appended;
  }
  return appended;
}

bool MakeTemporaryEntry(const std::u16string& address, Entry* entry) {
  HubAddress parsed;
  if (!ParseHubUrl(address, &parsed)) return false;
  Entry made = NewEntry(parsed.name.empty() ? OrgModels : SingleModel, parsed.repo_type, parsed.owner,
                        parsed.name.empty() ? "" : parsed.owner + "/" + parsed.name, kTemporaryName, false,
                        static_cast<int64_t>(std::time(nullptr)));
  made.id = "__temp__";
  if (made.type == SingleModel) made.revision = parsed.revision;
  *entry = std::move(made);
  return true;
}

std::string MakeUniqueId(const std::string& base) {
  // An entry imported without an id or owner still gets one.
  const std::string clean = base.empty() ? std::string("entry") : SanitizeFileName(base);
  auto taken = [](const std::string& id) {
    for (const Entry& entry : g_state.entries) {
      if (entry.id == id) return true;
    }
    return false;
  };
  if (!taken(clean)) return clean;
  for (uint64_t n = 1;; ++n) {
    const std::string candidate = clean + "_" + std::to_string(n);
    if (!taken(candidate)) return candidate;
  }
}

std::u16string MakeUniqueDisplayName(const std::u16string& name, bool* renamed) {
  *renamed = false;
  if (!IsNameTaken(name)) return name;
  *renamed = true;
  for (int n = 2; n <= 999; ++n) {
    const std::u16string candidate = name + u" (" + WideDecimal(n) + u")";
    if (!IsNameTaken(candidate)) return candidate;
  }
  return name + u" (dup)";
}
