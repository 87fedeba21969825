// Folder records of repository trees: file names, the record's JSON form and its one-pass reader.
//
// The form keeps every item on one line of text, "<kind> <size> <mtime> <name>" (kind d, f or o for a
// folder, a file or another type), and the hashes in a parallel array of "<oid>[ <lfs oid>]". The
// writer orders members by name, so the identity and "item_count" come before "items", and "items"
// before "oids": a listing reads up to the end of the items and stops there, leaving the hashes (most
// of the text) unparsed. A 10,000-item folder then loads in a few milliseconds (bench/README.md).
#include "cache/tree_folders.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "cache/listing_cache.h"
#include "core/files.h"
#include "core/json.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "platform/platform.h"

namespace {

using nlohmann::json;

constexpr size_t kMaxRecordBytes = 256u << 20;  // as every cache file
constexpr size_t kMaxReadableName = 120;        // longer ids are shortened, keeping their hash

uint64_t Fnv1a64(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string Hex16(uint64_t value) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) out[static_cast<size_t>(i)] = kHex[value & 15];
  return out;
}

// The earlier naming: "_" for what a file name cannot hold, so that a pull request refs/pr/1 and a
// branch refs_pr_1 shared a folder. Kept only to delete such folders.
std::string EarlierSafeName(const std::string& repo_id) {
  std::string name = SanitizeFileName(repo_id);
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
  }
  if (name.size() > kMaxReadableName) name = name.substr(0, 100) + "~" + Hex16(Fnv1a64(repo_id));
  return name;
}

std::string EarlierKindPrefix(RepoType repo_type) {
  switch (repo_type) {
    case DatasetRepo: return "d_";
    case SpaceRepo: return "s_";
    default: return "m_";
  }
}

std::u16string EarlierRecordsFolder(const std::u16string& cache_folder, const std::string& repo_id,
                                    RepoType repo_type, const std::string& revision) {
  const std::string id = revision == "main" ? repo_id : repo_id + "@" + revision;
  return JoinFsPath(JoinFsPath(cache_folder, u"trees"), Utf8ToWide(EarlierKindPrefix(repo_type) + EarlierSafeName(id)));
}

// One byte for one meaning: a name of this form is read back to one text only, and holds neither an
// upper-case letter nor a dot, a blank or any character Windows refuses.
std::string EncodedName(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
      out += static_cast<char>(c);
    } else if (c >= 'A' && c <= 'Z') {
      out += '_';
      out += static_cast<char>(c - 'A' + 'a');
    } else {
      out += '+';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string KindPrefix(RepoType repo_type) {
  switch (repo_type) {
    case DatasetRepo: return "d-";
    case SpaceRepo: return "s-";
    default: return "m-";
  }
}

// The one file per repository that earlier versions wrote for models and datasets; Spaces came later.
std::string OldTreeFilePrefix(RepoType repo_type) {
  switch (repo_type) {
    case ModelRepo: return "tree_";
    case DatasetRepo: return "tree_ds_";
    default: return std::string();
  }
}

std::u16string TreesFolder(const std::u16string& cache_folder) { return JoinFsPath(cache_folder, u"trees"); }

char KindLetter(const std::string& type) {
  if (type == "directory") return 'd';
  if (type == "file") return 'f';
  return 'o';
}

const char* TypeOfLetter(char letter) {
  if (letter == 'd') return "directory";
  if (letter == 'f') return "file";
  return "other";  // shown as a file, never copied as one (a copy asks for type "file")
}

// "<kind> <size> <mtime> <name>" into `item`, its path `prefix` + name; false for anything else.
bool ParseItemLine(const std::string& line, const std::string& prefix, TreeItem* item) {
  if (line.size() < 7 || line[1] != ' ') return false;
  const char letter = line[0];
  if (letter != 'd' && letter != 'f' && letter != 'o') return false;
  size_t pos = 2;
  int64_t numbers[2] = {0, 0};
  for (int64_t& number : numbers) {
    const bool negative = pos < line.size() && line[pos] == '-';
    if (negative) ++pos;
    const size_t digits_start = pos;
    uint64_t value = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
      if (pos - digits_start >= 18) return false;  // beyond what the writer produces
      value = value * 10 + static_cast<uint64_t>(line[pos] - '0');
      ++pos;
    }
    if (pos == digits_start || pos >= line.size() || line[pos] != ' ') return false;
    number = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
    ++pos;
  }
  if (pos >= line.size()) return false;  // no name
  item->type = TypeOfLetter(letter);
  item->size = numbers[0];
  item->mtime = numbers[1];
  item->path.reserve(prefix.size() + line.size() - pos);
  item->path.assign(prefix);
  item->path.append(line, pos, std::string::npos);
  return true;
}

// One pass over the record's text. Members are looked up by name; a record whose members have other
// types, or whose items or hashes are not lines of their form, is unreadable as a whole.
class RecordReader {
 public:
  // The folder the record is asked for names its items' paths; the record must say it is that folder.
  RecordReader(TreeRecordRead what, const std::string& folder, TreeFolderRecord* record)
      : what_(what), prefix_(folder.empty() ? std::string() : folder + "/"), record_(record) {}

  bool Finish(bool parsed) {
    if (bad_ || !(parsed || stopped_) || format_ != kTreeFolderFormat || !seen_identity_) return false;
    if (what_ == TreeRecordRead::Whole) {
      if (type_ != "tree-folder") return false;
      if (oids_.size() != record_->items.size()) return false;
      for (size_t i = 0; i < oids_.size(); ++i) {
        const std::string& text = oids_[i];
        const size_t space = text.find(' ');
        record_->items[i].oid = text.substr(0, space);
        if (space != std::string::npos) record_->items[i].lfs_oid = text.substr(space + 1);
      }
    }
    return true;
  }
  bool IdentityIs(const std::string& repo_id, const std::string& kind, const std::string& revision,
                  const std::string& folder) const {
    return repo_id_ == repo_id && kind_ == kind && folder_ == folder && revision_ == revision;
  }

  // ---- the SAX interface ----
  bool null() { return Scalar(); }
  bool boolean(bool value) {
    if (depth_ == 1 && top_ == Top::DatesComplete) record_->dates_complete = value;
    else if (depth_ == 1 && top_ == Top::LargeRepository) record_->large_repository = value;
    return Scalar();
  }
  bool number_integer(json::number_integer_t value) { return Number(static_cast<int64_t>(value), true); }
  bool number_unsigned(json::number_unsigned_t value) {
    return Number(static_cast<int64_t>(value), value <= static_cast<uint64_t>(INT64_MAX));
  }
  bool number_float(json::number_float_t value, const json::string_t&) {
    // A whole number written as a float counts, as everywhere JSON is read here.
    const bool whole = std::isfinite(value) && std::floor(value) == value && value >= -9.2e18 && value <= 9.2e18;
    return Number(whole ? static_cast<int64_t>(value) : 0, whole);
  }
  bool string(json::string_t& value) {
    if (depth_ == 2 && top_ == Top::Items) {  // by far the most
      if (record_->items.size() >= kMaxFolderItems) return Fail();
      record_->items.emplace_back();
      return ParseItemLine(value, prefix_, &record_->items.back()) || Fail();
    }
    if (depth_ == 2 && top_ == Top::Oids) {
      if (what_ != TreeRecordRead::Whole) return true;
      if (oids_.size() >= kMaxFolderItems) return Fail();
      oids_.push_back(std::move(value));
      return true;
    }
    if (depth_ == 2 && top_ == Top::Identity) {
      if (member_ == "folder") folder_ = std::move(value);
      else if (member_ == "kind") kind_ = std::move(value);
      else if (member_ == "repo_id") repo_id_ = std::move(value);
      else if (member_ == "revision") revision_ = std::move(value);
      return true;
    }
    if (depth_ == 1) {
      if (top_ == Top::DatesNextUrl) record_->dates_next_url = std::move(value);
      else if (top_ == Top::Commit) record_->commit = std::move(value);
      else if (top_ == Top::FetchId) record_->fetch_id = std::move(value);
      else if (top_ == Top::Type) type_ = std::move(value);
    }
    return Scalar();
  }
  bool binary(json::binary_t&) { return Fail(); }
  bool start_object(size_t) {
    if (depth_ == 0) return ++depth_, true;
    if (depth_ == 1 && top_ == Top::Identity) {
      seen_identity_ = true;
      return ++depth_, true;
    }
    return Nested();
  }
  bool end_object() { return --depth_, true; }
  bool key(json::string_t& name) {
    if (depth_ != 1) {
      member_ = std::move(name);
      return true;
    }
    if (items_done_ && what_ == TreeRecordRead::Names) {
      stopped_ = true;  // everything a listing needs is read
      return false;
    }
    top_ = name == "items"              ? Top::Items
           : name == "oids"             ? Top::Oids
           : name == "identity"         ? Top::Identity
           : name == "format"           ? Top::Format
           : name == "fetched_at"       ? Top::FetchedAt
           : name == "dates_complete"   ? Top::DatesComplete
           : name == "dates_next_url"   ? Top::DatesNextUrl
           : name == "large_repository" ? Top::LargeRepository
           : name == "commit"           ? Top::Commit
           : name == "fetch_id"         ? Top::FetchId
           : name == "type"             ? Top::Type
           : name == "item_count"       ? Top::ItemCount
                                        : Top::Other;
    return true;
  }
  bool start_array(size_t) {
    if (depth_ == 1 && (top_ == Top::Items || top_ == Top::Oids)) return ++depth_, true;
    return Nested();
  }
  bool end_array() {
    if (depth_ == 2 && top_ == Top::Items) items_done_ = true;
    return --depth_, true;
  }
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  enum class Top {
    Other, Items, Oids, Identity, Format, FetchedAt, DatesComplete, DatesNextUrl, LargeRepository, Commit, FetchId,
    Type, ItemCount
  };

  bool Fail() {
    bad_ = true;
    return false;
  }
  bool OwnList() const { return top_ == Top::Identity || top_ == Top::Items || top_ == Top::Oids; }
  // A value where a member of the record's own takes another shape makes the record unreadable.
  bool Scalar() {
    if (depth_ == 0) return Fail();  // the top level is no object
    if (OwnList()) return Fail();
    return true;
  }
  bool Number(int64_t value, bool exact) {
    if (depth_ == 1 && top_ == Top::FetchedAt) record_->fetched_at = exact ? value : 0;
    if (depth_ == 1 && top_ == Top::ItemCount && exact && value > 0) {
      record_->items.reserve(static_cast<size_t>(std::min<int64_t>(value, kMaxFolderItems)));
    }
    if (depth_ == 1 && top_ == Top::Format) format_ = exact ? value : -1;
    return Scalar();
  }
  // Objects and arrays nested anywhere else: unknown members a later format might add are skipped.
  bool Nested() {
    if (depth_ == 0 || OwnList()) return Fail();
    return ++depth_, true;
  }

  TreeRecordRead what_;
  std::string prefix_;
  TreeFolderRecord* record_;
  int depth_ = 0;
  Top top_ = Top::Other;
  std::string member_, type_;
  std::string folder_, kind_, repo_id_, revision_;
  int64_t format_ = -1;
  bool seen_identity_ = false, items_done_ = false, stopped_ = false, bad_ = false;
  std::vector<std::string> oids_;
};

// Whether the text can end a record: a names-only read stops before the end, so a file cut short
// after its items would otherwise still be listed.
bool EndsLikeAnObject(const std::string& text) {
  const size_t last = text.find_last_not_of(" \t\r\n");
  return last != std::string::npos && text[last] == '}';
}

std::u16string CacheFolderNow() { return CacheFolder(); }

// Every write of a folder record in this process, so that one that reads, changes and writes sees no
// other write come between. Never freed: the date worker may still write while the process exits.
std::mutex& RecordWrites() {
  static std::mutex* const writes = new std::mutex;
  return *writes;
}

bool WriteRecordFile(const std::u16string& cache_folder, const TreeFolderRecord& record) {
  try {
    const std::string prefix = record.folder.empty() ? std::string() : record.folder + "/";
    json items = json::array(), oids = json::array();
    for (const TreeItem& item : record.items) {
      // Only the folder's own children have a place here.
      if (item.path.size() <= prefix.size() || item.path.compare(0, prefix.size(), prefix) != 0 ||
          item.path.find('/', prefix.size()) != std::string::npos) {
        continue;
      }
      items.push_back(std::string(1, KindLetter(item.type)) + " " + std::to_string(item.size) + " " +
                      std::to_string(item.mtime) + " " + item.path.substr(prefix.size()));
      oids.push_back(item.lfs_oid.empty() ? item.oid : item.oid + " " + item.lfs_oid);
    }
    const json document = {
        {"type", "tree-folder"},
        {"format", kTreeFolderFormat},
        {"identity",
         {{"repo_id", record.repo_id}, {"kind", RepoTypeName(record.repo_type)}, {"revision", record.revision},
          {"folder", record.folder}}},
        {"commit", record.commit},
        {"fetch_id", record.fetch_id},
        {"fetched_at", record.fetched_at},
        {"dates_complete", record.dates_complete},
        {"item_count", items.size()},  // read before the items: room for all of them at once
        {"dates_next_url", record.dates_next_url},
        {"large_repository", record.large_repository},
        {"items", std::move(items)},
        {"oids", std::move(oids)}};
    const std::u16string folder = TreeRecordsFolder(cache_folder, record.repo_id, record.repo_type, record.revision);
    PlatformCreateFolders(folder);
    const std::u16string path =
        TreeFolderRecordPath(cache_folder, record.repo_id, record.repo_type, record.revision, record.folder);
    if (!WriteJsonFileAtomic(path, document, false)) return false;
    if (record.fetched_at > 0) PlatformSetFileTime(path, record.fetched_at);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::u16string TreeRecordsFolder(const std::u16string& cache_folder, const std::string& repo_id,
                                 RepoType repo_type, const std::string& revision) {
  // Main keeps the folder without a revision, the one an entry without "revision" has always had.
  std::string name = KindPrefix(repo_type) + EncodedName(repo_id);
  if (revision != "main") name += "@" + EncodedName(revision);
  // "~" is in no encoded name, so a shortened one meets no other but by its hash.
  if (name.size() > kMaxReadableName) {
    name = name.substr(0, 100) + "~" + Hex16(Fnv1a64(KindPrefix(repo_type) + repo_id + "@" + revision));
  }
  return JoinFsPath(TreesFolder(cache_folder), Utf8ToWide(name));
}

std::u16string TreeFolderRecordPath(const std::u16string& cache_folder, const std::string& repo_id,
                                    RepoType repo_type, const std::string& revision, const std::string& folder) {
  return JoinFsPath(TreeRecordsFolder(cache_folder, repo_id, repo_type, revision),
                    Utf8ToWide(Hex16(Fnv1a64(folder)) + ".json"));
}

std::string NewFetchId() {
  static std::atomic<uint64_t> count{0};
  // Time, tick and thread tell processes apart, the count the fetches of one thread.
  return Hex16(Fnv1a64(std::to_string(UnixNow()) + "." + std::to_string(PlatformTickMs()) + "." +
                       std::to_string(PlatformThreadId()) + "." + std::to_string(++count)));
}

bool ReadTreeFolderRecord(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                          const std::string& revision, const std::string& folder, TreeRecordRead what,
                          TreeFolderRecord* out) {
  try {
    std::string text;
    if (!ReadFileBytes(TreeFolderRecordPath(cache_folder, repo_id, repo_type, revision, folder), &text,
                       kMaxRecordBytes) ||
        !EndsLikeAnObject(text)) {
      return false;
    }
    TreeFolderRecord record;
    RecordReader reader(what, folder, &record);
    const bool parsed = json::sax_parse(text, &reader, json::input_format_t::json, /*strict=*/true,
                                        /*ignore_comments=*/false);
    if (!reader.Finish(parsed)) return false;
    // Another repository's or folder's record under a colliding name is not this one.
    if (!reader.IdentityIs(repo_id, RepoTypeName(repo_type), revision, folder)) return false;
    record.repo_id = repo_id;
    record.repo_type = repo_type;
    record.revision = revision;
    record.folder = folder;
    *out = std::move(record);
    return true;
  } catch (...) {
    return false;  // out of memory on a huge file: as unreadable as a damaged one
  }
}

bool WriteTreeFolderRecord(const std::u16string& cache_folder, const TreeFolderRecord& record) {
  try {
    std::lock_guard<std::mutex> guard(RecordWrites());
    return WriteRecordFile(cache_folder, record);
  } catch (...) {
    return false;
  }
}

RecordUpdate UpdateTreeFolderRecord(const std::u16string& cache_folder, const std::string& repo_id,
                                    RepoType repo_type, const std::string& revision, const std::string& folder,
                                    const std::function<bool(bool exists, TreeFolderRecord* record)>& change) {
  try {
    std::lock_guard<std::mutex> guard(RecordWrites());
    TreeFolderRecord record;
    const bool exists =
        ReadTreeFolderRecord(cache_folder, repo_id, repo_type, revision, folder, TreeRecordRead::Whole, &record);
    if (!exists) {
      record = TreeFolderRecord();
      record.repo_id = repo_id;
      record.repo_type = repo_type;
      record.revision = revision;
      record.folder = folder;
    }
    if (!change(exists, &record)) return RecordUpdate::Declined;
    // The identity is the file's, whatever `change` did to it.
    record.repo_id = repo_id;
    record.repo_type = repo_type;
    record.revision = revision;
    record.folder = folder;
    return WriteRecordFile(cache_folder, record) ? RecordUpdate::Written : RecordUpdate::NotWritten;
  } catch (...) {
    return RecordUpdate::NotWritten;
  }
}

bool LoadFreshTreeFolder(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                         const std::string& folder, TreeRecordRead what, TreeFolderRecord* out) {
  const std::u16string cache_folder = CacheFolderNow();
  if (!IsCacheFileFresh(TreeFolderRecordPath(cache_folder, repo_id, repo_type, revision, folder))) return false;
  return ReadTreeFolderRecord(cache_folder, repo_id, repo_type, revision, folder, what, out);
}

bool LoadTreeFolderOfAnyAge(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                            const std::string& folder, TreeRecordRead what, TreeFolderRecord* out) {
  return ReadTreeFolderRecord(CacheFolderNow(), repo_id, repo_type, revision, folder, what, out);
}

bool SaveTreeFolder(const TreeFolderRecord& record) { return WriteTreeFolderRecord(CacheFolderNow(), record); }

void DeleteRepositoryTreeFolders(const std::string& repo_id, RepoType repo_type, const std::string& revision) {
  const std::u16string cache_folder = CacheFolderNow();
  std::error_code ec;
  std::filesystem::remove_all(FsPath(TreeRecordsFolder(cache_folder, repo_id, repo_type, revision)), ec);
  std::filesystem::remove_all(FsPath(EarlierRecordsFolder(cache_folder, repo_id, repo_type, revision)), ec);
  const std::string old_file = OldTreeFilePrefix(repo_type);
  if (!old_file.empty()) RemoveFileQuietly(CacheFilePath(old_file + SanitizeFileName(repo_id)));
}

void DeleteOwnerTreeFolders(const std::string& owner, RepoType repo_type) {
  const std::u16string cache_folder = CacheFolderNow();
  // An owner's ids are "owner/name": their folders start with the owner and the encoded "/".
  RemoveCacheEntries(TreesFolder(cache_folder), KindPrefix(repo_type) + EncodedName(owner + "/"), "",
                     CacheEntryKind::Folder);
  // The earlier naming cannot tell "abc_x/..." from "abc/x_...": an owner whose name extends this one
  // with "_" loses those folders too, which are never read anyway.
  RemoveCacheEntries(TreesFolder(cache_folder), EarlierKindPrefix(repo_type) + EarlierSafeName(owner) + "_", "",
                     CacheEntryKind::Folder);
  const std::string old_files = OldTreeFilePrefix(repo_type);
  if (!old_files.empty()) {
    RemoveCacheEntries(cache_folder, old_files + SanitizeFileName(owner) + "_", ".json", CacheEntryKind::File);
  }
}
