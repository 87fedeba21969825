// The upload side of a write: local files read and stamped, the hub's preupload answer taken as the
// decision on each file, large files hashed, announced in LFS batches and sent to the storage addresses
// the hub hands out, without the key, streamed from the file in pieces.
//
// Threads: UploadLargeFiles runs the uploads on up to `connections` threads of its own, each taking the
// next job (a whole object or a part), and the second readings that check multipart files' hashes on
// one more, so no connection waits for the disk; it joins them all before it returns. Nothing here calls the host: progress and the stop flag are atomics
// a coordinator on the caller's thread reads and raises.
#include "hub/upload.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/files.h"
#include "core/json.h"
#include "core/text.h"
#include "hub/content_hash.h"
#include "hub/headers.h"
#include "hub/ratelimit.h"
#include "platform/platform.h"

using nlohmann::json;

namespace {

constexpr size_t kHashBlock = 1 << 20;
constexpr uint32_t kApiTimeoutMs = 60000;
// A part of 100 MB and more over a slow link: the storage's answer comes only after the last byte.
constexpr uint32_t kStorageTimeoutMs = 120000;
// An upload that got no answer, or a 5xx, is sent again this often in all, as a download's range is
// fetched again; a refusal (4xx) is never sent again.
constexpr int kTriesPerUpload = 3;
constexpr size_t kMaxStorageAnswerBytes = 65536;
constexpr size_t kMaxHubMessageBytes = 300;
constexpr size_t kMaxParts = 10000;  // S3 takes no more: a larger plan is no hub's answer
const char* const kLfsMediaType = "application/vnd.git-lfs+json";

std::string SiteRoot(const WriteTarget& target) {
  std::string root = target.site_url;
  if (root.empty() || root.back() != '/') root.push_back('/');
  return root;
}

std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::u16string U(const std::string& utf8) { return Utf8ToWide(utf8); }

// The file as the file system tells it now: its size and last-write time.
struct FileStamp {
  bool ok = false;
  int64_t size = -1;
  int64_t mtime = 0;
};

FileStamp StampOf(const std::u16string& path) {
  FileStamp stamp;
  try {
    std::error_code ec;
    const std::filesystem::path fs_path = FsPath(path);
    if (!std::filesystem::is_regular_file(fs_path, ec)) return stamp;
    const auto size = std::filesystem::file_size(fs_path, ec);
    if (ec) return stamp;
    const auto time = std::filesystem::last_write_time(fs_path, ec);
    if (ec) return stamp;
    stamp.size = static_cast<int64_t>(size);
    stamp.mtime = static_cast<int64_t>(time.time_since_epoch().count());
    stamp.ok = true;
  } catch (...) {
  }
  return stamp;
}

// What the hub said beside its status: X-Error-Message, else the JSON body's "error", else its text;
// control characters made blanks and the length bounded, since it is shown to the user.
std::string HubMessage(const HttpSendAnswer& answer) {
  std::string text = HeaderValue(answer.head.raw_headers, "X-Error-Message");
  if (text.empty()) {
    const json body = ParseJson(answer.body, 1000);
    text = JsonString(body, "error", JsonString(body, "message"));
    if (text.empty() && !body.is_object() && !body.is_array()) text = answer.body;
  }
  if (text.size() > kMaxHubMessageBytes) text = text.substr(0, kMaxHubMessageBytes) + "...";
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  const size_t last = text.find_last_not_of(' ');
  return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::u16string WithHubMessage(const std::u16string& text, const std::string& hub_message) {
  return hub_message.empty() ? text + u"." : text + u": " + U(hub_message) + (hub_message.back() == '.' ? u"" : u".");
}

// The answer's "files" or "objects" array; null when the answer is not the object the hub sends.
const json* AnswerArray(const json& document, const char* key) {
  return document.is_object() ? JsonArray(document, key) : nullptr;
}

// ---- The storage side -------------------------------------------------------------------------------

// A range of a local file as a request body, read as the transport asks for it. Its last piece is
// handed over only once the file is seen unchanged (and, for a whole object, its bytes hash to the
// announced SHA-256): otherwise the exchange stops short and the storage never holds the object whole.
struct FileRange {
  const UploadFile* file = nullptr;
  int64_t offset = 0;
  int64_t length = 0;
  bool hash = false;  // the range is the whole file: its hash is checked as it goes
  WriteProgress* progress = nullptr;
  std::ifstream in;
  int64_t given = 0;
  ContentHasher hasher;
  WriteEnd failure = WriteEnd::Done;

  int64_t Read(char* buffer, size_t capacity) {
    if (!in.is_open()) {
      in.open(FsPath(file->local_path), std::ios::binary);
      if (!in.is_open() || !in.seekg(offset)) return Fail(WriteEnd::LocalUnreadable);
      if (hash) {
        ContentCheck check;
        check.hex = file->sha256;
        if (!hasher.Begin(check, file->size)) return Fail(WriteEnd::LocalUnreadable);
      }
    }
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(capacity), length - given);
    in.read(buffer, static_cast<std::streamsize>(n));
    if (in.gcount() != n) return Fail(in.bad() ? WriteEnd::LocalUnreadable : WriteEnd::LocalChanged);
    if (hash) hasher.Update(buffer, static_cast<size_t>(n));
    if (given + n == length) {
      if (!IsUnchanged(*file) || (hash && hasher.EndHex() != file->sha256)) return Fail(WriteEnd::LocalChanged);
    }
    given += n;
    progress->done += n;
    return n;
  }

  int64_t Fail(WriteEnd why) {
    failure = why;
    return -1;
  }
};

// One object the hub was asked about, and what it answered.
struct LargeObject {
  std::string oid;
  int64_t size = 0;
  const UploadFile* file = nullptr;   // the first file of this content
  bool upload = false;                // the hub does not have it yet
  std::u16string href;                // basic: the PUT address; multipart: the completion address
  int64_t chunk = 0;                  // multipart: the part size; 0 for a basic upload
  std::vector<std::u16string> parts;  // multipart: part i's address at i - 1
  std::vector<std::string> etags;     // multipart: what each part's storage answer called it
  bool rehashed = false;              // multipart: read again whole, and it hashed to the oid
};

struct Job {
  size_t object = 0;
  int part = 0;  // 0: the whole object in one PUT; 1..n: a part
};

struct Uploads {
  const WriteTarget* target = nullptr;
  WriteProgress* progress = nullptr;
  std::vector<LargeObject> objects;
  std::vector<Job> jobs;
  std::atomic<size_t> next_job{0};
  std::mutex lock;
  WriteOutcome failure;  // the first, under the lock
  bool failed = false;

  void Fail(WriteOutcome outcome) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (failed) return;
      failed = true;
      failure = std::move(outcome);
    }
    progress->stop = true;  // the other connections end with it
  }
};

std::u16string UploadWhat(const UploadFile& file) { return u"the upload of " + U(file.path); }

// An answer from the storage that is not its yes. Its statuses are the storage's, not the hub's: a
// 403 there is an address that expired, not a key that cannot write.
WriteOutcome StorageOutcome(const Uploads& run, const HttpSendAnswer& answer, const UploadFile& file) {
  WriteOutcome out;
  out.status = answer.status;
  out.hub_message = HubMessage(answer);
  out.path = file.path;
  if (answer.result == HttpExchangeResult::NoResponse || answer.status >= 500) {
    out.end = WriteEnd::Unreachable;
    out.message = u"The hub's storage could not be reached during " + UploadWhat(file) +
                  u": nothing was committed to " + RepoText(*run.target) + u".";
  } else {
    out.end = WriteEnd::Failed;
    out.message = WithHubMessage(u"The hub's storage answered " + WideDecimal(answer.status) + u" to " +
                                     UploadWhat(file) + u", so nothing was committed to " + RepoText(*run.target),
                                 out.hub_message);
  }
  return out;
}

// One PUT of a whole object or of one part, sent again after no answer or a 5xx.
void SendRange(Uploads& run, LargeObject& object, int part) {
  const UploadFile& file = *object.file;
  const int64_t offset = part > 0 ? (part - 1) * object.chunk : 0;
  const int64_t length = part > 0 ? std::min(object.chunk, object.size - offset) : object.size;
  const std::u16string& url = part > 0 ? object.parts[static_cast<size_t>(part - 1)] : object.href;
  HttpSendAnswer answer;
  for (int attempt = 0; attempt < kTriesPerUpload && !run.progress->stop; ++attempt) {
    auto range = std::make_shared<FileRange>();
    range->file = &file;
    range->offset = offset;
    range->length = length;
    range->hash = part == 0;
    range->progress = run.progress;
    HttpSendOptions options;
    options.method = HttpMethod::Put;
    options.body.size = length;
    options.body.read = [range](char* buffer, size_t capacity) { return range->Read(buffer, capacity); };
    options.receive_timeout_ms = kStorageTimeoutMs;
    options.abort = &run.progress->stop;
    options.max_answer_bytes = kMaxStorageAnswerBytes;
    answer = HttpSend(url, std::string(), options);  // a storage address: never the key
    run.progress->done -= range->given;              // counted again by the next try, or as a whole below
    if (range->failure != WriteEnd::Done) {
      run.Fail(LocalFileOutcome(range->failure, file));
      return;
    }
    if (run.progress->stop) return;
    // A yes to a body the storage did not receive whole is no yes.
    if (answer.status >= 200 && answer.status < 300 && range->given == length) {
      if (part > 0) {
        if (answer.head.etag.empty()) {
          WriteOutcome out = WriteFailure(WriteEnd::Failed,
                                          u"The hub's storage named no ETag for part " + WideDecimal(part) + u" of " +
                                              UploadWhat(file) + u": nothing was committed.",
                                          file.path);
          out.status = answer.status;
          run.Fail(std::move(out));
          return;
        }
        object.etags[static_cast<size_t>(part - 1)] = answer.head.etag;  // exactly as given, quotes and all
      }
      run.progress->done += length;
      return;
    }
    if (answer.result != HttpExchangeResult::NoResponse && answer.status < 500 && answer.status >= 300) break;
  }
  if (!run.progress->stop) run.Fail(StorageOutcome(run, answer, file));
}

// A multipart file's parts are read out of order: so it is read once more whole, beside them, and must
// hash to what was announced before the upload is completed.
void Rehash(Uploads& run, LargeObject& object) {
  const UploadFile& file = *object.file;
  ContentHasher hasher;
  ContentCheck check;
  check.hex = file.sha256;
  std::ifstream in(FsPath(file.local_path), std::ios::binary);
  if (!in.is_open() || !hasher.Begin(check, file.size)) {
    run.Fail(LocalFileOutcome(WriteEnd::LocalUnreadable, file));
    return;
  }
  std::unique_ptr<char[]> buffer(new char[kHashBlock]);
  for (int64_t hashed = 0; hashed < file.size;) {
    if (run.progress->stop) return;
    const int64_t n = std::min<int64_t>(file.size - hashed, kHashBlock);
    in.read(buffer.get(), static_cast<std::streamsize>(n));
    if (in.gcount() != n) {
      run.Fail(LocalFileOutcome(WriteEnd::LocalChanged, file));
      return;
    }
    hasher.Update(buffer.get(), static_cast<size_t>(n));
    hashed += n;
  }
  if (hasher.EndHex() != file.sha256) {
    run.Fail(LocalFileOutcome(WriteEnd::LocalChanged, file));
    return;
  }
  object.rehashed = true;
}

void Worker(Uploads& run) {
  try {
    for (;;) {
      const size_t index = run.next_job++;
      if (index >= run.jobs.size() || run.progress->stop) return;
      const Job& job = run.jobs[index];
      SendRange(run, run.objects[job.object], job.part);
    }
  } catch (...) {
    run.Fail(WriteFailure(WriteEnd::Failed, u"Out of memory while uploading: nothing was committed."));
  }
}

void Rehasher(Uploads& run) {
  try {
    for (LargeObject& object : run.objects) {
      if (run.progress->stop) return;
      if (object.upload && object.chunk != 0) Rehash(run, object);
    }
  } catch (...) {
    run.Fail(WriteFailure(WriteEnd::Failed, u"Out of memory while uploading: nothing was committed."));
  }
}

// A decimal count of at most 18 digits, from a JSON string or number; -1 for anything else.
int64_t Count(const json& value) {
  if (value.is_number_unsigned() || value.is_number_integer()) {
    const int64_t n = value.get<int64_t>();
    return n >= 0 ? n : -1;
  }
  if (!value.is_string()) return -1;
  const std::string& text = value.get_ref<const std::string&>();
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoll(text);
}

// The upload action of one object the hub answered: a basic PUT, or the multipart scheme (`chunk_size`
// and the numbered part addresses among its headers). False with `why` for an action of another shape.
bool ReadUploadAction(const json& upload, LargeObject* object, std::u16string* why) {
  SplitUrl split;
  object->href = U(JsonString(upload, "href"));
  if (object->href.empty() || !SplitHttpUrl(object->href, &split)) {
    *why = u"an upload address that is no http(s) address";
    return false;
  }
  const json* header = JsonObject(upload, "header");
  if (!header || !header->contains("chunk_size")) return true;
  object->chunk = Count((*header)["chunk_size"]);
  if (object->chunk <= 0) {
    *why = u"a part size that is no count";
    return false;
  }
  const int64_t expected = (object->size + object->chunk - 1) / object->chunk;
  std::map<int64_t, std::u16string> parts;
  for (auto it = header->begin(); it != header->end(); ++it) {
    const std::string& key = it.key();
    if (key.empty() || key.size() > 9 || key.find_first_not_of("0123456789") != std::string::npos) continue;
    if (!it->is_string() || !SplitHttpUrl(U(it->get<std::string>()), &split)) {
      *why = u"a part address that is no http(s) address";
      return false;
    }
    if (!parts.emplace(std::stoll(key), U(it->get<std::string>())).second) {
      *why = u"one part named twice";
      return false;
    }
  }
  // Parts 1 to n, n the size over the part size: anything else would leave bytes out or send them twice.
  if (static_cast<int64_t>(parts.size()) != expected || expected > static_cast<int64_t>(kMaxParts) ||
      (expected > 0 && (parts.begin()->first != 1 || parts.rbegin()->first != expected))) {
    *why = WideDecimal(static_cast<int64_t>(parts.size())) + u" part addresses where " + WideDecimal(expected) +
           u" were due";
    return false;
  }
  for (auto& part : parts) object->parts.push_back(std::move(part.second));
  object->etags.assign(object->parts.size(), std::string());
  return true;
}

// One LFS batch call for objects [first, last): what each needs, or the failure.
WriteOutcome AskBatch(const WriteTarget& target, std::vector<LargeObject>* objects, size_t first, size_t last,
                      WriteProgress* progress) {
  json request = {{"operation", "upload"}, {"transfers", {"basic", "multipart"}}, {"hash_algo", "sha256"}};
  json& list = request["objects"] = json::array();
  for (size_t i = first; i < last; ++i) list.push_back({{"oid", (*objects)[i].oid}, {"size", (*objects)[i].size}});
  // A pull request's changes go to no branch: a key that can only open one must not name one.
  if (!target.create_pr) request["ref"] = {{"name", target.revision}};
  const std::u16string url =
      U(SiteRoot(target) + RepoSitePrefix(target.repo_type) + target.repo_id + ".git/info/lfs/objects/batch");
  HttpSendOptions options;
  options.headers = {std::string("Accept: ") + kLfsMediaType, std::string("Content-Type: ") + kLfsMediaType};
  const std::string text = Dump(request);
  options.body = MemoryBody(text);
  options.receive_timeout_ms = kApiTimeoutMs;
  options.abort = &progress->stop;
  const HttpSendAnswer answer = HttpSend(url, WriteKeyFor(target, url), options);
  if (!answer.whole || answer.status < 200 || answer.status >= 300) {
    return AnswerOutcome(target, answer, progress->stop, "the announcement of the large files");
  }
  const json document = ParseJson(answer.body);
  const json* answered = AnswerArray(document, "objects");
  const std::string transfer = JsonString(document, "transfer", "basic");
  const auto malformed = [&target](const std::u16string& why) {
    return WriteFailure(WriteEnd::Failed, u"The hub answered the announcement of the large files with " + why +
                                              u": nothing was committed to " + RepoText(target) + u".");
  };
  if (!answered) return malformed(u"no list of objects");
  if (transfer != "basic" && transfer != "multipart") return malformed(u"a transfer of its own (" + U(transfer) + u")");
  std::set<size_t> seen;
  for (const json& item : *answered) {
    const std::string oid = JsonString(item, "oid");
    const int64_t size = JsonInt64(item, "size", -1);
    size_t index = first;
    while (index < last && ((*objects)[index].oid != oid || (*objects)[index].size != size)) ++index;
    if (index == last) return malformed(u"an object not asked for");
    LargeObject& object = (*objects)[index];
    seen.insert(index);
    if (const json* error = JsonObject(item, "error")) {
      WriteOutcome out = WriteFailure(
          WriteEnd::Rejected, WithHubMessage(u"The hub refused " + U(object.file->path), JsonString(*error, "message")),
          object.file->path);
      out.status = static_cast<uint32_t>(std::max<int64_t>(JsonInt64(*error, "code", 0), 0));
      out.hub_message = JsonString(*error, "message");
      return out;
    }
    const json* actions = JsonObject(item, "actions");
    const json* upload = actions ? JsonObject(*actions, "upload") : nullptr;
    object.upload = upload != nullptr;  // no upload action: the hub has these bytes already
    std::u16string why;
    if (upload && !ReadUploadAction(*upload, &object, &why)) return malformed(why + u" for " + U(object.file->path));
  }
  if (seen.size() != last - first) return malformed(u"objects left out");
  return WriteOutcome();
}

}  // namespace

// The key travels to the hub's origin only: never to a storage address, whatever the hub hands out.
std::string WriteKeyFor(const WriteTarget& target, const std::u16string& url) {
  return IsOriginOf(url, target.site_url) ? target.api_key : std::string();
}

std::u16string WriteApiUrl(const WriteTarget& target, const std::string& api_path) {
  return U(SiteRoot(target) + "api" + api_path);
}

std::u16string RepoText(const WriteTarget& target) {
  return U(target.repo_id) + (target.revision == "main" ? u"" : u" at " + U(target.revision));
}

bool IsUnchanged(const UploadFile& file) {
  const FileStamp now = StampOf(file.local_path);
  return now.ok && now.size == file.size && now.mtime == file.mtime;
}

WriteOutcome WriteFailure(WriteEnd end, std::u16string message, const std::string& path) {
  WriteOutcome out;
  out.end = end;
  out.message = std::move(message);
  out.path = path;
  return out;
}

std::string RepoApiPath(const WriteTarget& target) {
  return std::string("/") + RepoTypePlural(target.repo_type) + "/" + UrlEncode(target.repo_id, true);
}

std::string WriteApiPath(const WriteTarget& target, const char* endpoint) {
  // The revision is one segment: unencoded, the hub would read refs/pr/1's "pr/1" as more path.
  return RepoApiPath(target) + "/" + endpoint + "/" + UrlEncode(target.revision, false) +
         (target.create_pr ? "?create_pr=1" : "");
}

WriteOutcome LocalFileOutcome(WriteEnd end, const UploadFile& file) {
  const std::u16string name = file.local_path;
  if (end == WriteEnd::LocalChanged) {
    return WriteFailure(end,
                        name +
                            u" changed while it was being sent, so it was not committed. Copy it again once it "
                            u"is no longer being written.",
                        file.path);
  }
  return WriteFailure(end, name + u" cannot be read, so it was not committed.", file.path);
}

WriteOutcome AnswerOutcome(const WriteTarget& target, const HttpSendAnswer& answer, bool stopped,
                           const std::string& what, bool is_commit) {
  WriteOutcome out;
  out.status = answer.status;
  out.error_code = HeaderValue(answer.head.raw_headers, "X-Error-Code");
  out.hub_message = HubMessage(answer);
  const std::u16string repo = RepoText(target);
  const std::u16string step = U(what);
  const std::u16string nothing = u"nothing was committed to " + repo;
  if (answer.paused || (answer.status == 429 &&
                        (!is_commit || ReadRateLimitHeaders(answer.head.raw_headers, "api", 0).remaining == 0))) {
    out.end = WriteEnd::RateLimited;
    const int64_t left = ApiRateLimit().seconds_left;
    out.message = u"The HuggingFace API limit is reached, so " + nothing + u". Try again" +
                  (left > 0 ? u" in " + WideDecimal(left) + u" s." : u" later.");
  } else if (stopped) {
    out.end = WriteEnd::Cancelled;
    out.message = u"Cancelled: " + nothing + u".";
  } else if (answer.result == HttpExchangeResult::NoResponse || answer.status == 0 ||
             (answer.status >= 200 && answer.status < 300)) {
    // A yes that did not arrive whole is no yes either.
    out.end = WriteEnd::Unreachable;
    out.message = u"The hub could not be reached during " + step +
                  (is_commit ? u": look at the folder again to see "
                               u"whether the changes were committed."
                             : u", so " + nothing + u".");
  } else if (answer.status == 401 || answer.status == 403) {
    out.end = WriteEnd::NoWriteAccess;
    out.message =
        target.create_pr
            ? WithHubMessage(u"The API key cannot open a pull request on " + U(target.repo_id), out.hub_message)
            : WithHubMessage(u"The API key cannot write to " + U(target.repo_id) + u" at " + U(target.revision),
                             out.hub_message) +
                  u" Sending the changes as a pull request would work with a key that can read it.";
  } else if (answer.status == 404) {
    out.end = WriteEnd::NotFound;
    out.message = out.error_code == "RevisionNotFound"
                      ? u"The repository " + U(target.repo_id) + u" has no branch \"" + U(target.revision) + u"\"."
                      : u"The repository " + U(target.repo_id) + u" does not exist, or the API key cannot see it.";
  } else if (answer.status == 412) {
    out.end = WriteEnd::BranchMoved;
    out.message = repo + u" changed since it was listed, so " + nothing +
                  u". Look at the folder again, then make the change again.";
  } else if (answer.status == 429) {
    out.end = WriteEnd::CommitQuota;
    out.message =
        WithHubMessage(u"The hub's limit on commits is reached, so " + nothing, out.hub_message) + u" Try again later.";
  } else if (answer.status == 422) {
    out.end = WriteEnd::PathRefused;
    out.message = WithHubMessage(u"The hub refused a path in " + step + u", so " + nothing, out.hub_message);
  } else if (answer.status == 400) {
    out.end = WriteEnd::Rejected;
    out.message = WithHubMessage(u"The hub refused " + step + u", so " + nothing, out.hub_message);
  } else if (is_commit && answer.status >= 500) {
    // A commit the hub fails may still be made (it goes on after a gateway gave up): only a look tells.
    out.end = WriteEnd::Failed;
    out.message = WithHubMessage(u"The hub answered " + WideDecimal(answer.status) + u" to " + step, out.hub_message) +
                  u" Look at the folder again to see whether the changes were committed.";
  } else {
    out.end = WriteEnd::Failed;
    out.message = WithHubMessage(
        u"The hub answered " + WideDecimal(answer.status) + u" to " + step + u", so " + nothing, out.hub_message);
  }
  return out;
}

WriteOutcome ReadLocalFiles(std::vector<UploadFile>* files) {
  for (UploadFile& file : *files) {
    const FileStamp stamp = StampOf(file.local_path);
    std::ifstream in;
    if (stamp.ok) in.open(FsPath(file.local_path), std::ios::binary);
    if (!stamp.ok || !in.is_open()) return LocalFileOutcome(WriteEnd::LocalUnreadable, file);
    file.size = stamp.size;
    file.mtime = stamp.mtime;
    file.sample.assign(static_cast<size_t>(std::min<int64_t>(file.size, kSampleBytes)), '\0');
    in.read(&file.sample[0], static_cast<std::streamsize>(file.sample.size()));
    if (in.gcount() != static_cast<std::streamsize>(file.sample.size())) {
      return LocalFileOutcome(in.bad() ? WriteEnd::LocalUnreadable : WriteEnd::LocalChanged, file);
    }
  }
  return WriteOutcome();
}

WriteOutcome PreuploadFiles(const WriteTarget& target, std::vector<UploadFile>* files, WriteProgress* progress) {
  for (size_t first = 0; first < files->size(); first += kWriteBatchSize) {
    const size_t last = std::min(files->size(), first + kWriteBatchSize);
    json list = json::array();
    for (size_t i = first; i < last; ++i) {
      const UploadFile& file = (*files)[i];
      list.push_back({{"path", file.path}, {"size", file.size}, {"sample", PlatformBase64Encode(file.sample)}});
    }
    HttpSendOptions options;
    options.headers = {"Content-Type: application/json"};
    options.body = MemoryBody(Dump(json{{"files", list}}));
    options.api = true;
    options.receive_timeout_ms = kApiTimeoutMs;
    options.abort = &progress->stop;
    const std::u16string url = WriteApiUrl(target, WriteApiPath(target, "preupload"));
    const HttpSendAnswer answer = HttpSend(url, WriteKeyFor(target, url), options);
    if (!answer.whole || answer.status < 200 || answer.status >= 300) {
      return AnswerOutcome(target, answer, progress->stop, "the question how to send the files");
    }
    const json document = ParseJson(answer.body);
    const json* answered = AnswerArray(document, "files");
    std::map<std::string, const json*> by_path;
    if (answered) {
      for (const json& item : *answered) by_path.emplace(JsonString(item, "path"), &item);
    }
    for (size_t i = first; i < last; ++i) {
      UploadFile& file = (*files)[i];
      const auto found = by_path.find(file.path);
      const std::string mode = found == by_path.end() ? std::string() : JsonString(*found->second, "uploadMode");
      if (mode != "lfs" && mode != "regular") {
        return WriteFailure(WriteEnd::Failed,
                            u"The hub did not say how to send " + U(file.path) + u", so nothing was committed to " +
                                RepoText(target) + u".",
                            file.path);
      }
      // An empty file is regular whatever the hub says: its storage refuses an empty upload.
      file.mode = JsonBool(*found->second, "shouldIgnore", false) ? UploadFile::Mode::Ignored
                  : mode == "lfs" && file.size > 0                ? UploadFile::Mode::Lfs
                                                                  : UploadFile::Mode::Regular;
    }
  }
  return WriteOutcome();
}

WriteOutcome HashLargeFiles(std::vector<UploadFile>* files, WriteProgress* progress) {
  std::unique_ptr<char[]> buffer(new char[kHashBlock]);
  for (UploadFile& file : *files) {
    if (file.mode != UploadFile::Mode::Lfs) continue;
    std::ifstream in(FsPath(file.local_path), std::ios::binary);
    ContentHasher hasher;
    const ContentCheck check;  // SHA-256
    if (!in.is_open() || !hasher.Begin(check, file.size)) return LocalFileOutcome(WriteEnd::LocalUnreadable, file);
    for (int64_t hashed = 0; hashed < file.size;) {
      if (progress->stop) return WriteFailure(WriteEnd::Cancelled, u"Cancelled: nothing was committed.");
      const int64_t n = std::min<int64_t>(file.size - hashed, kHashBlock);
      in.read(buffer.get(), static_cast<std::streamsize>(n));
      if (in.gcount() != n)
        return LocalFileOutcome(in.bad() ? WriteEnd::LocalUnreadable : WriteEnd::LocalChanged, file);
      hasher.Update(buffer.get(), static_cast<size_t>(n));
      hashed += n;
      progress->done += n;
    }
    file.sha256 = hasher.EndHex();
    if (file.sha256.size() != 64) return LocalFileOutcome(WriteEnd::LocalUnreadable, file);
    if (!IsUnchanged(file)) return LocalFileOutcome(WriteEnd::LocalChanged, file);
  }
  return WriteOutcome();
}

WriteOutcome UploadLargeFiles(const WriteTarget& target, const std::vector<UploadFile>& files, int connections,
                              WriteProgress* progress) {
  Uploads run;
  run.target = &target;
  run.progress = progress;
  std::map<std::string, size_t> by_oid;
  for (const UploadFile& file : files) {
    if (file.mode != UploadFile::Mode::Lfs) continue;
    if (!by_oid.emplace(file.sha256, run.objects.size()).second) {
      progress->done += file.size;  // the same bytes go once
      continue;
    }
    LargeObject object;
    object.oid = file.sha256;
    object.size = file.size;
    object.file = &file;
    run.objects.push_back(std::move(object));
  }
  for (size_t first = 0; first < run.objects.size(); first += kWriteBatchSize) {
    const WriteOutcome asked =
        AskBatch(target, &run.objects, first, std::min(run.objects.size(), first + kWriteBatchSize), progress);
    if (!asked.Done()) return asked;
  }
  for (size_t i = 0; i < run.objects.size(); ++i) {
    const LargeObject& object = run.objects[i];
    if (!object.upload) {
      progress->done += object.size;
      continue;
    }
    if (object.chunk == 0) {
      run.jobs.push_back({i, 0});
      continue;
    }
    for (size_t part = 1; part <= object.parts.size(); ++part) run.jobs.push_back({i, static_cast<int>(part)});
  }

  std::vector<std::thread> workers;
  const size_t count = std::min(run.jobs.size(), static_cast<size_t>(std::max(connections, 1)));
  const bool rehash = std::any_of(run.objects.begin(), run.objects.end(),
                                  [](const LargeObject& object) { return object.upload && object.chunk != 0; });
  for (size_t i = 0; i < count + (rehash ? 1 : 0); ++i) {
    try {
      if (i == count) {
        workers.emplace_back(Rehasher, std::ref(run));
      } else {
        workers.emplace_back(Worker, std::ref(run));
      }
    } catch (...) {
      run.Fail(WriteFailure(WriteEnd::Failed, u"No thread could be started for the upload: nothing was committed."));
      break;
    }
  }
  for (std::thread& worker : workers) worker.join();
  if (run.failed) return run.failure;
  if (progress->stop) return WriteFailure(WriteEnd::Cancelled, u"Cancelled: nothing was committed.");

  for (const LargeObject& object : run.objects) {
    if (!object.upload || object.chunk == 0) continue;
    if (!object.rehashed || !IsUnchanged(*object.file)) return LocalFileOutcome(WriteEnd::LocalChanged, *object.file);
    json parts = json::array();
    for (size_t i = 0; i < object.etags.size(); ++i) {
      parts.push_back({{"partNumber", static_cast<int64_t>(i + 1)}, {"etag", object.etags[i]}});
    }
    HttpSendOptions options;
    options.headers = {std::string("Accept: ") + kLfsMediaType, std::string("Content-Type: ") + kLfsMediaType};
    options.body = MemoryBody(Dump(json{{"oid", object.oid}, {"parts", parts}}));
    options.receive_timeout_ms = kApiTimeoutMs;
    options.abort = &progress->stop;
    // The completion address carries its own credentials: the key is not sent, even to the hub.
    const HttpSendAnswer answer = HttpSend(object.href, std::string(), options);
    if (answer.status < 200 || answer.status >= 300) {
      return AnswerOutcome(target, answer, progress->stop, "the completion of the upload of " + object.file->path);
    }
  }
  return WriteOutcome();
}
