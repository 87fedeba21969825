// The transfer of one attempt. The calling thread only coordinates: it starts the connections, reports
// the combined progress (the host's callback is never called from another thread), turns a cancel into
// the stop flag that ends every connection's exchange, even one on which nothing arrives, within a
// fraction of a second, and joins every thread it started before
// it returns. One thread per connection fetches pieces in ascending order; one more thread hashes the
// file's contiguous beginning as it grows, reading back what the connections wrote, so that the hash is
// ready a moment after the last byte.
#include "hub/transfer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "hub/http.h"
#include "hub/ratelimit.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kReceiveTimeoutMs = 120000;
constexpr int kMaxRedirects = 20;
constexpr size_t kReadChunk = 262144;
constexpr size_t kContentLengthUnits = 63;  // what a 128-byte header buffer holds besides its NUL
constexpr size_t kHashBlock = 1 << 20;
constexpr uint64_t kProgressIntervalMs = 100;
constexpr auto kCoordinatorTick = std::chrono::milliseconds(20);
constexpr auto kHasherIdle = std::chrono::milliseconds(5);
constexpr int kTriesPerPiece = 3;
constexpr auto kRetryWaitSlice = std::chrono::milliseconds(50);
constexpr auto kPaceWaitSlice = std::chrono::milliseconds(20);
// The storage network answers a range with the whole file when the request accepts gzip; say plainly
// that it must not (neither transport asks for it today, and a proxy must not either).
constexpr const char* kNoCompression = "Accept-Encoding: identity";
// Pieces of a parallel transfer: small enough that the hashed beginning trails the transfer by a few
// pieces only, and under Wine's 2 GiB body limit; large enough that a new request per piece costs
// little (a 2 GiB file at 8 connections: 64 pieces of 32 MiB).
constexpr int64_t kMinPiece = 4ll << 20;
constexpr int64_t kMaxPiece = 32ll << 20;
constexpr int64_t kUnknownEnd = INT64_MAX;
constexpr int64_t kParallelFrom = 16ll << 20;

std::atomic<int64_t> g_test_parallel_from{0};
std::atomic<int64_t> g_test_piece{0};
std::atomic<int64_t> g_test_hash_lag{0};

// Leading decimal digits after optional blanks and sign, saturating; 0 when there are none.
int64_t ParseDecimal(const std::string& text) {
  size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos) return 0;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (value > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

int64_t AnnouncedLength(const HttpResponseHead& head) {
  if (!head.has_content_length || head.content_length.size() > kContentLengthUnits) return -1;
  return ParseDecimal(head.content_length);
}

// "bytes A-B/T" (T may be "*": -1). False for anything else.
bool ParseContentRange(const std::string& text, int64_t* first, int64_t* last, int64_t* total) {
  size_t i = text.find_first_not_of(' ');
  if (i == std::string::npos || text.compare(i, 6, "bytes ") != 0) return false;
  i += 6;
  const size_t dash = text.find('-', i);
  const size_t slash = text.find('/', i);
  if (dash == std::string::npos || slash == std::string::npos || dash > slash || dash == i) return false;
  const auto digits = [&text](size_t from, size_t to) {
    if (from >= to) return false;
    for (size_t k = from; k < to; ++k) {
      if (text[k] < '0' || text[k] > '9') return false;
    }
    return true;
  };
  size_t end = text.find_last_not_of(' ');
  if (!digits(i, dash) || !digits(dash + 1, slash)) return false;
  *first = ParseDecimal(text.substr(i, dash - i));
  *last = ParseDecimal(text.substr(dash + 1, slash - dash - 1));
  if (text.compare(slash + 1, end - slash, "*") == 0) {
    *total = -1;
  } else {
    if (!digits(slash + 1, end + 1)) return false;
    *total = ParseDecimal(text.substr(slash + 1, end - slash));
  }
  return *first <= *last;
}

bool HasBytesUnit(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text.find("bytes") != std::string::npos;
}

// Only a strong validator of printable ASCII can ask for ranges of one version of the file.
bool IsRangeValidator(const std::string& etag) {
  if (etag.size() < 2 || etag.compare(0, 2, "W/") == 0) return false;
  for (unsigned char c : etag) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

struct Piece {
  int64_t begin = 0;
  int64_t end = 0;                  // exclusive; kUnknownEnd while the length is unknown
  std::atomic<int64_t> written{0};  // bytes from `begin` on that are in the file
  enum State { Pending, Active, Complete } state = Pending;  // under Run::lock

  int64_t Size() const { return end - begin; }
};

struct Run {
  const TransferSetup* setup = nullptr;
  std::mutex lock;
  std::condition_variable changed;  // the plan is made, a piece or a worker ended, a failure
  std::atomic<bool> stop{false};    // ends every connection's exchange (HttpExchangeRequest::abort)
  // One connection writes at a time. The system puts one file's writes in a row anyway, and its
  // writers spin while they wait: with eight connections that burnt a tenth of the copy's processor time.
  std::mutex write_lock;

  // The hash's lag (Receiving::KeepPace): bytes of the file's complete beginning it has not taken in,
  // as the hasher last saw them. `pacing` while a hash follows the bytes; the limit comes with the plan.
  std::mutex pace_lock;
  std::condition_variable hash_moved;
  std::atomic<int64_t> hash_lag{0};
  std::atomic<bool> pacing{false};
  std::atomic<int64_t> lag_limit{0};

  // Written once under the lock by the first request's head; read-only once `planned` is seen.
  bool planned = false;
  int64_t total = -1;
  std::string etag;
  bool ranges = false;
  std::u16string range_url;
  std::string range_key;
  std::vector<std::unique_ptr<Piece>> pieces;
  int64_t expected_size = -1;   // the listing's size, else the hub's X-Linked-Size; -1: unknown
  ContentCheck check;           // the listing's, else the hub's X-Linked-Etag (then checked here)
  bool linked_check = false;

  // Under the lock.
  bool failed = false;
  TransferEnd end = TransferEnd::Done;  // the first failure wins
  uint32_t status = 0;
  int workers_running = 0;
  bool file_touched = false;
  RateLimitHeaders limited;        // what the 429 that ended the run said
  int64_t linked_size = -1;        // the hub's X-Linked-Size, when an answer of another size ended the run
  int64_t linked_size_seen = -1;   // that answer's size

  std::atomic<int64_t> had{0};       // bytes present before this attempt
  std::atomic<int64_t> received{0};  // bytes written by this attempt

  void Fail(TransferEnd why) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (!failed) {
        failed = true;
        end = why;
      }
    }
    stop = true;
    changed.notify_all();
    hash_moved.notify_all();
  }
};

HttpFetchOptions FetchOptions(const Run& run) {
  HttpFetchOptions options;
  options.abort = &run.stop;  // a connection waiting for bytes that do not come ends with the rest
  options.receive_timeout_ms = kReceiveTimeoutMs;
  options.follow_to_plain_http = true;
  options.max_redirects = kMaxRedirects;
  options.read_chunk = kReadChunk;
  options.extra_headers = {kNoCompression};
  return options;
}

std::string RangeHeader(int64_t first, int64_t last) {
  return "Range: bytes=" + std::to_string(first) + "-" + (last >= 0 ? std::to_string(last) : std::string());
}

// The hub's X-Linked-Etag when it is a SHA-256 (a large file's); a small file's is its git blob id,
// which the listing's "oid" covers, and a storage host's own ETag is never taken (HttpFinalHop).
ContentCheck LinkedCheck(const std::string& etag) {
  std::string hex = etag;
  if (hex.compare(0, 2, "W/") == 0) hex.erase(0, 2);
  if (hex.size() >= 2 && hex.front() == '"' && hex.back() == '"') hex = hex.substr(1, hex.size() - 2);
  ContentCheck check;
  if (hex.size() != 64) return check;
  for (char& c : hex) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c + 32);
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return check;
  }
  check.hex = hex;
  return check;
}

// The hub's X-Linked-Size: plain digits within what a length can be; -1 otherwise.
int64_t LinkedSize(const std::string& text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  return ParseDecimal(text);
}

void FailRateLimited(Run& run, const HttpResponseHead& head) {
  {
    std::lock_guard<std::mutex> guard(run.lock);
    if (!run.failed) run.limited = ReadRateLimitHeaders(head.raw_headers, "resolvers", UnixNow());
  }
  run.Fail(TransferEnd::RateLimited);
}

// Waits `seconds` unless the run stops first (a cancel ends it at once); true when the time passed.
bool WaitBeforeRetry(Run& run, int64_t seconds) {
  const uint64_t until = PlatformTickMs() + static_cast<uint64_t>(seconds) * 1000u;
  std::unique_lock<std::mutex> guard(run.lock);
  while (!run.stop) {
    const uint64_t now = PlatformTickMs();
    if (now >= until) return true;
    // In slices: the stop flag is raised without the lock, so a wake-up may come before the wait.
    run.changed.wait_for(guard, std::min<std::chrono::milliseconds>(kRetryWaitSlice, std::chrono::milliseconds(until - now)));
  }
  return false;
}

// Pieces over [0, total): the spans already held are complete pieces; each gap is cut into pieces of
// `piece` bytes (one piece when `piece` is 0). Called under the lock, before any worker reads them.
void Plan(Run& run, int64_t total, const std::vector<ByteSpan>& have, int64_t piece) {
  run.pieces.clear();
  int64_t at = 0;
  const auto add_gap = [&](int64_t gap_end) {
    while (at < gap_end) {
      auto p = std::make_unique<Piece>();
      p->begin = at;
      p->end = piece > 0 && piece < gap_end - at ? at + piece : gap_end;
      at = p->end;
      run.pieces.push_back(std::move(p));
    }
  };
  for (const ByteSpan& span : have) {
    add_gap(span.begin);
    auto p = std::make_unique<Piece>();
    p->begin = span.begin;
    p->end = span.end;
    p->written = span.end - span.begin;
    p->state = Piece::Complete;
    at = span.end;
    run.pieces.push_back(std::move(p));
  }
  if (total < 0) {
    auto p = std::make_unique<Piece>();  // the whole body, its end found when it ends
    p->begin = at;
    p->end = kUnknownEnd;
    run.pieces.push_back(std::move(p));
  } else {
    add_gap(total);
  }
  run.planned = true;
}

// Every connection's piece may complete at once: a lag of that much says nothing of the hash's pace.
int64_t LagLimit(int64_t piece_size, int connections) {
  const int64_t n = std::clamp(connections, 1, PluginState::kMaxDownloadConnections);
  return piece_size > INT64_MAX / n ? INT64_MAX : piece_size * n;
}

Piece* FirstPending(Run& run) {
  for (auto& p : run.pieces) {
    if (p->state == Piece::Pending) return p.get();
  }
  return nullptr;
}

bool OpenData(const std::u16string& path, bool create, std::fstream* out) {
  out->rdbuf()->pubsetbuf(nullptr, 0);  // writes go straight to the file, where the hasher reads them
  std::ios::openmode mode = std::ios::binary | std::ios::out;
  mode |= create ? std::ios::trunc : std::ios::in;
  out->open(FsPath(path), mode);
  return out->is_open();
}

// One exchange's bytes for one piece.
struct Receiving {
  Run* run = nullptr;
  Piece* piece = nullptr;
  std::fstream* out = nullptr;
  bool allow_longer = false;  // the first request's body goes on past its piece: stop there
  bool positioned = false;
  bool write_failed = false;
  bool overflow = false;

  bool HashLagsBy(int64_t bytes) const {
    return run->pacing.load(std::memory_order_acquire) && run->hash_lag.load(std::memory_order_acquire) > bytes;
  }

  // Where the processor is what limits a copy, the connections took it from the hash, which then had
  // much of the file left after the last byte, on one core. While the hash lags behind the complete
  // beginning by more than the limit, the connections wait until it has caught up half of it; it always
  // has those bytes to go on with. A hash that waits for the bytes (the network is slower) lags nothing.
  bool KeepPace() {
    const int64_t limit = run->lag_limit.load(std::memory_order_relaxed);
    if (!HashLagsBy(limit)) return true;
    std::unique_lock<std::mutex> guard(run->pace_lock);
    while (!run->stop && HashLagsBy(limit / 2)) run->hash_moved.wait_for(guard, kPaceWaitSlice);
    return !run->stop;
  }

  bool Take(const char* data, size_t size) {
    if (run->stop.load(std::memory_order_relaxed) || !KeepPace()) return false;
    const int64_t written = piece->written.load(std::memory_order_relaxed);
    const int64_t room = piece->end == kUnknownEnd ? INT64_MAX : piece->Size() - written;
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(size), room);
    const int64_t listed = run->expected_size;
    if (piece->end == kUnknownEnd && listed >= 0 && n > listed - piece->begin - written) {
      run->Fail(TransferEnd::OtherSize);  // a body without a length that runs past the listed size
      return false;
    }
    if (n > 0) {
      if (!positioned) {
        out->seekp(piece->begin + written);
        positioned = true;
      }
      {
        std::lock_guard<std::mutex> turn(run->write_lock);
        out->write(data, static_cast<std::streamsize>(n));
      }
      if (!*out) {
        write_failed = true;  // a full disk stays full: stop reading
        return false;
      }
      piece->written.store(written + n, std::memory_order_release);
      run->received.fetch_add(n, std::memory_order_relaxed);
    }
    if (n < static_cast<int64_t>(size)) {
      overflow = !allow_longer;  // a body longer than announced is damaged
      return false;
    }
    return !(allow_longer && written + n == piece->Size());
  }
};

enum class PieceTry { Complete, Retry, Ended };

// What an exchange did for its piece, once it is over.
PieceTry Settle(Run& run, Receiving& r, HttpExchangeResult result) {
  Piece& piece = *r.piece;
  if (r.write_failed) {
    run.Fail(TransferEnd::Failed);
    return PieceTry::Ended;
  }
  if (run.stop) return PieceTry::Ended;
  const int64_t written = piece.written.load();
  bool complete = !r.overflow && piece.end != kUnknownEnd && written == piece.Size();
  if (!complete && !r.overflow && piece.end == kUnknownEnd && result == HttpExchangeResult::Complete) {
    const int64_t listed = run.expected_size;
    if (listed >= 0 && piece.begin + written != listed) {
      run.Fail(TransferEnd::OtherSize);  // no length was announced, and the body ended elsewhere
      return PieceTry::Ended;
    }
    std::lock_guard<std::mutex> guard(run.lock);
    piece.end = piece.begin + written;  // no length was announced: the body's end is the file's
    complete = true;
  }
  if (complete) {
    {
      std::lock_guard<std::mutex> guard(run.lock);
      piece.state = Piece::Complete;
    }
    run.changed.notify_all();
    return PieceTry::Complete;
  }
  if (r.overflow || !run.ranges) {
    run.Fail(TransferEnd::Failed);  // without ranges a broken body cannot be continued
    return PieceTry::Ended;
  }
  return PieceTry::Retry;
}

// The rest of a piece over ranges, a few times; a refusal from a final address that has expired
// goes through the hub's address again for a fresh one.
void FetchPiece(Run& run, Piece& piece, std::fstream& out) {
  const TransferSetup& setup = *run.setup;
  std::u16string url = run.range_url;
  std::string key = run.range_key;
  for (int attempt = 0; attempt < kTriesPerPiece && !run.stop; ++attempt) {
    const int64_t from = piece.begin + piece.written.load();
    HttpFetchOptions options = FetchOptions(run);
    options.extra_headers.push_back(RangeHeader(from, piece.end - 1));
    options.extra_headers.push_back("If-Range: " + run.etag);
    bool refused = false;
    Receiving receiving{&run, &piece, &out};
    const auto on_head = [&](const HttpResponseHead& head) {
      int64_t first = 0, last = 0, total = 0;
      if (head.status == 206) {
        if (!head.etag.empty() && head.etag != run.etag) {
          run.Fail(TransferEnd::Changed);
          return false;
        }
        if (!ParseContentRange(head.content_range, &first, &last, &total) || first != from ||
            last != piece.end - 1 || (total >= 0 && total != run.total)) {
          run.Fail(TransferEnd::NoRanges);
          return false;
        }
        return true;
      }
      if (head.status == 200) {
        // If-Range answers a changed file with the whole new file; the same version means no ranges.
        run.Fail(head.etag.empty() || head.etag == run.etag ? TransferEnd::NoRanges : TransferEnd::Changed);
        return false;
      }
      if (head.status == 416) {
        run.Fail(TransferEnd::Changed);  // the file is shorter now
        return false;
      }
      if (head.status == 429) {  // asking again at once would only be refused again
        FailRateLimited(run, head);
        return false;
      }
      refused = head.status == 401 || head.status == 403 || head.status == 404 || head.status == 410;
      return false;  // anything else (429, 5xx) is one failed try
    };
    const HttpExchangeResult result =
        HttpFetch(url, key, options, nullptr, on_head, [&receiving](const char* d, size_t n) { return receiving.Take(d, n); });
    if (Settle(run, receiving, result) != PieceTry::Retry) return;
    if (refused) {
      url = setup.url;
      key = setup.api_key;
    }
  }
  if (!run.stop) run.Fail(TransferEnd::Failed);
}

// The first request: the plain request of a new transfer, or the rest of the file from the first
// missing byte when bytes are held. Its head decides the plan; its body fills the first piece. A 429
// naming a short wait is waited for once (`retried` then), with the host still asked about a cancel.
void FirstRequest(Run& run, std::fstream& out, bool retried = false) {
  const TransferSetup& setup = *run.setup;
  const bool resuming = !setup.have.empty();
  int64_t ask_from = 0;
  for (const ByteSpan& span : setup.have) {
    if (span.begin > ask_from) break;
    ask_from = std::max(ask_from, span.end);
  }
  HttpFetchOptions options = FetchOptions(run);
  if (resuming) {
    options.extra_headers.push_back(RangeHeader(ask_from, -1));
    if (!setup.etag.empty()) options.extra_headers.push_back("If-Range: " + setup.etag);
  }

  HttpFinalHop hop;
  Receiving receiving{&run, nullptr, &out};
  const HttpResponseHead* refused = nullptr;  // a 429, decided on once the exchange is over
  HttpResponseHead limited_head;
  const auto on_head = [&](const HttpResponseHead& head) {
    std::unique_lock<std::mutex> guard(run.lock);
    run.status = head.status;
    if (head.status == 429) {
      limited_head = head;
      refused = &limited_head;
      return false;
    }
    int64_t total = -1;
    std::vector<ByteSpan> have;
    TransferEnd refusal = TransferEnd::Failed;
    if (resuming && head.status == 206) {
      int64_t a = 0, b = 0;
      if (ParseContentRange(head.content_range, &a, &b, &total) && a == ask_from && total >= 0 &&
          (setup.have_total < 0 || total == setup.have_total) &&
          (setup.etag.empty() || head.etag.empty() || head.etag == setup.etag)) {
        have = setup.have;
        run.etag = setup.etag.empty() ? head.etag : setup.etag;
        refusal = TransferEnd::Done;
      } else {
        refusal = TransferEnd::Changed;
      }
    } else if (head.status == 200) {
      // A held file answered in whole has changed on the hub: its bytes are dropped and this body
      // starts over. A target resumed without a validator cannot be overwritten from here.
      if (!resuming || !setup.etag.empty()) {
        total = AnnouncedLength(head);
        run.etag = head.etag;
        refusal = TransferEnd::Done;
      } else {
        refusal = TransferEnd::NoRanges;
      }
    } else if (head.status == 401 || head.status == 403) {
      refusal = TransferEnd::Denied;
    } else if (head.status == 404) {
      refusal = TransferEnd::NotFound;
    } else if (head.status == 416) {
      refusal = TransferEnd::Changed;  // nothing left at that offset: the file is not what was held
    }
    // An answer of another size than listed is another file, and an absurd length is not planned for.
    // Without a listed size the hub's word on the file it redirected to stands in for the listing's.
    const int64_t expected = setup.listed_size >= 0 ? setup.listed_size : LinkedSize(hop.linked_size);
    if (refusal == TransferEnd::Done && expected >= 0 && total >= 0 && total != expected) {
      refusal = TransferEnd::OtherSize;
      if (setup.listed_size < 0) {
        run.linked_size = expected;
        run.linked_size_seen = total;
      }
    }
    if (refusal == TransferEnd::Done) {
      run.expected_size = expected;
      if (run.check.hex.empty()) {
        run.check = LinkedCheck(hop.linked_etag);
        run.linked_check = !run.check.hex.empty();
      }
      run.total = total;
      run.ranges = !setup.single_stream && total > 0 && IsRangeValidator(run.etag) &&
                   (HasBytesUnit(head.accept_ranges) || head.status == 206);
      run.range_url = hop.url;
      run.range_key = hop.api_key;
      const bool parallel = run.ranges && total >= ParallelFromBytes();
      const int64_t piece_size = parallel ? PieceSizeFor(total, setup.connections) : total;
      Plan(run, total, have, parallel ? piece_size : 0);
      // A copy that continues held bytes hashes them meanwhile, which no waiting would speed up.
      run.lag_limit = g_test_hash_lag > 0 ? g_test_hash_lag.load() : LagLimit(piece_size, setup.connections);
      run.pacing = !run.check.hex.empty() && total >= 0 && have.empty();
      run.had = HeldBytes(have);
      receiving.piece = FirstPending(run);
      if (receiving.piece) {
        receiving.piece->state = Piece::Active;
        // The body runs to the file's end: the first piece takes its share and the connection stops.
        receiving.allow_longer = receiving.piece->end != kUnknownEnd && receiving.piece->end < total;
      }
      run.file_touched = true;
      if (!OpenData(setup.data_path, have.empty(), &out)) refusal = TransferEnd::Failed;
    }
    guard.unlock();
    if (refusal != TransferEnd::Done) {
      run.Fail(refusal);
      return false;
    }
    run.changed.notify_all();
    return receiving.piece != nullptr;
  };
  const HttpExchangeResult result = HttpFetch(setup.url, setup.api_key, options, nullptr, on_head,
                                              [&receiving](const char* d, size_t n) { return receiving.Take(d, n); },
                                              &hop);
  if (refused) {
    const RateLimitHeaders limited = ReadRateLimitHeaders(refused->raw_headers, "resolvers", UnixNow());
    // Once, and only for a short wait the hub named: a copy may wait, but never asks in a loop.
    if (!retried && limited.retry_after >= 0 && limited.retry_after <= kMaxDownloadWaitSeconds &&
        WaitBeforeRetry(run, limited.retry_after)) {
      FirstRequest(run, out, true);
    } else if (!run.stop) {
      FailRateLimited(run, *refused);
    }
    return;
  }
  if (!receiving.piece) {
    if (result == HttpExchangeResult::NoResponse) run.Fail(TransferEnd::Failed);
    return;
  }
  if (Settle(run, receiving, result) == PieceTry::Retry) FetchPiece(run, *receiving.piece, out);
}

Piece* TakePiece(Run& run) {
  std::lock_guard<std::mutex> guard(run.lock);
  if (run.stop || !run.ranges) return nullptr;
  Piece* piece = FirstPending(run);
  if (piece) piece->state = Piece::Active;
  return piece;
}

void Worker(Run& run, bool first) {
  std::fstream out;
  try {
    if (first) FirstRequest(run, out);
    if (!first && !OpenData(run.setup->data_path, false, &out)) run.Fail(TransferEnd::Failed);
    while (Piece* piece = TakePiece(run)) FetchPiece(run, *piece, out);
  } catch (...) {
    run.Fail(TransferEnd::Failed);  // out of memory: this attempt ends, the module goes on
  }
  if (out.is_open()) out.close();
  {
    std::lock_guard<std::mutex> guard(run.lock);
    --run.workers_running;
  }
  run.changed.notify_all();
}

// Hashes the file's beginning as far as every piece before it is complete; returns the hex digest,
// or empty when the run stopped first or the file could not be read.
std::string HashAsItArrives(Run& run, int64_t total) {
  ContentHasher hasher;
  if (!hasher.Begin(run.check, total)) return std::string();
  std::ifstream in;
  in.rdbuf()->pubsetbuf(nullptr, 0);  // read only what the prefix covers, never ahead of the writers
  in.open(FsPath(run.setup->data_path), std::ios::binary);
  if (!in.is_open()) return std::string();
  std::unique_ptr<char[]> buffer(new char[kHashBlock]);
  size_t index = 0;  // the first piece not yet complete
  int64_t hashed = 0, ready = 0;
  while (!run.stop) {
    while (index < run.pieces.size()) {
      const Piece& p = *run.pieces[index];
      const int64_t reached = p.begin + p.written.load(std::memory_order_acquire);
      ready = std::max(ready, reached);
      if (reached < p.end) break;
      ++index;
    }
    run.hash_lag.store(ready - hashed, std::memory_order_release);
    if (ready > hashed) {
      const int64_t n = std::min<int64_t>(ready - hashed, kHashBlock);
      in.seekg(hashed);
      in.read(buffer.get(), static_cast<std::streamsize>(n));
      if (in.gcount() != n) return std::string();
      hasher.Update(buffer.get(), static_cast<size_t>(n));
      hashed += n;
      run.hash_lag.store(ready - hashed, std::memory_order_release);
      if (ready - hashed <= run.lag_limit / 2) run.hash_moved.notify_all();
    } else if (index == run.pieces.size()) {
      return hasher.EndHex();
    } else {
      std::this_thread::sleep_for(kHasherIdle);
    }
  }
  return std::string();
}

std::vector<ByteSpan> HeldSpans(const Run& run) {
  std::vector<ByteSpan> spans;
  for (const auto& p : run.pieces) {
    const int64_t written = p->written.load();
    if (written <= 0) continue;
    if (!spans.empty() && spans.back().end == p->begin) {
      spans.back().end = p->begin + written;
    } else {
      spans.push_back({p->begin, p->begin + written});
    }
  }
  return spans;
}

}  // namespace

int64_t ParallelFromBytes() { return g_test_parallel_from > 0 ? g_test_parallel_from.load() : kParallelFrom; }

int64_t PieceSizeFor(int64_t total, int connections) {
  const int64_t piece = g_test_piece > 0 ? g_test_piece.load()
                                         : std::clamp<int64_t>(total / (std::max(connections, 1) * 8ll), kMinPiece, kMaxPiece);
  return std::max(piece, total / kMaxPieces + 1);
}

ProgressReporter::ProgressReporter(const ProgressFn* fn) : progress(fn), last_report(PlatformTickMs()) {}

bool ProgressReporter::Report(int64_t done, int64_t total) {
  if (!progress || !*progress) return true;
  const int32_t percent = total > 0 ? static_cast<int32_t>(static_cast<double>(done) * 100.0 / static_cast<double>(total)) : -1;
  const uint64_t now = PlatformTickMs();
  if (percent == last_percent && now - last_report < kProgressIntervalMs) return true;
  last_percent = percent;
  last_report = now;
  try {
    return (*progress)(done, total);
  } catch (...) {
    return false;  // a callback that throws cannot be told anything more: stop
  }
}

void SetTransferTuningForTesting(int64_t parallel_from, int64_t piece, int64_t hash_lag) {
  g_test_parallel_from = parallel_from;
  g_test_piece = piece;
  g_test_hash_lag = hash_lag;
}

std::string HashFile(const std::u16string& path, const ContentCheck& check, int64_t size, const ProgressFn* progress,
                     bool* cancelled) {
  if (cancelled) *cancelled = false;
  ContentHasher hasher;
  if (check.hex.empty() || size < 0 || !hasher.Begin(check, size)) return std::string();
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in.is_open()) return std::string();
  std::unique_ptr<char[]> buffer(new char[kHashBlock]);
  // Tens of gigabytes take minutes: the host hears how far it got, and may cancel.
  ProgressReporter reporter(progress);
  for (int64_t hashed = 0; hashed < size;) {
    if (!reporter.Report(hashed, size)) {
      if (cancelled) *cancelled = true;
      return std::string();
    }
    const int64_t n = std::min<int64_t>(size - hashed, kHashBlock);
    in.read(buffer.get(), static_cast<std::streamsize>(n));
    if (in.gcount() != n) return std::string();
    hasher.Update(buffer.get(), static_cast<size_t>(n));
    hashed += n;
  }
  return hasher.EndHex();
}

TransferOutcome RunTransfer(const TransferSetup& setup) {
  Run run;
  run.setup = &setup;
  run.had = HeldBytes(setup.have);
  run.check = setup.check;
  std::vector<std::thread> workers;
  std::thread hasher;
  std::string digest;
  std::atomic<bool> hashed{false};
  bool hashing = false;
  const int connections =
      std::clamp(setup.connections, 1, std::min(PluginState::kMaxDownloadConnections, PlatformMaxDownloadConnections()));
  ProgressReporter reporter(setup.progress);

  // A thread that cannot be started ends the attempt; every thread that did start is joined below.
  const auto start = [&run](std::vector<std::thread>* into, bool first) {
    {
      std::lock_guard<std::mutex> guard(run.lock);
      ++run.workers_running;
    }
    try {
      into->emplace_back(Worker, std::ref(run), first);
    } catch (...) {
      {
        std::lock_guard<std::mutex> guard(run.lock);
        --run.workers_running;
      }
      run.Fail(TransferEnd::Failed);
    }
  };
  start(&workers, true);
  for (;;) {
    bool all_ended = false;
    int64_t total = -1;
    size_t more = 0;
    bool hash_now = false;
    {
      std::unique_lock<std::mutex> guard(run.lock);
      run.changed.wait_for(guard, kCoordinatorTick);
      if (run.planned && workers.size() == 1 && run.ranges && !run.stop) {
        size_t pending = 0;
        for (const auto& p : run.pieces) pending += p->state == Piece::Pending ? 1 : 0;
        more = std::min<size_t>(pending, static_cast<size_t>(connections - 1));
      }
      hash_now = run.planned && !hashing && !run.check.hex.empty() && run.total >= 0 && !run.stop;
      all_ended = run.workers_running == 0 && more == 0;
      if (run.planned) total = run.total;
    }
    // Again at every tick: an exchange that was between two waits the last time is caught now.
    if (run.stop && !all_ended) PlatformHttpAbort(&run.stop);
    for (size_t i = 0; i < more; ++i) start(&workers, false);
    if (more > 0) {
      LogMessage(u"Download in ranges: " + setup.name + u" size=" + WideDecimal(total) + u" connections=" +
                 WideDecimal(static_cast<int64_t>(workers.size())));
    }
    if (hash_now) {
      hashing = true;
      try {
        hasher = std::thread([&run, &digest, &hashed, total] {
          digest = HashAsItArrives(run, total);
          {
            std::lock_guard<std::mutex> guard(run.pace_lock);
            run.pacing = false;  // nothing to wait for any more
          }
          run.hash_moved.notify_all();
          hashed = true;
        });
      } catch (...) {
        run.Fail(TransferEnd::Failed);
      }
    }
    // Reported before the end is checked: a copy quicker than one tick still gives the host its
    // chance to cancel, and while the last bytes are hashed the host still hears from the download.
    if (!run.stop && !reporter.Report(run.had + run.received, total)) run.Fail(TransferEnd::Cancelled);
    if (all_ended && (run.stop || !hashing || hashed)) break;
  }
  run.stop = true;  // a hasher still waiting for bytes that will not come
  for (std::thread& t : workers) t.join();
  if (hasher.joinable()) hasher.join();

  TransferOutcome outcome;
  {
    std::lock_guard<std::mutex> guard(run.lock);
    outcome.end = run.failed ? run.end : TransferEnd::Done;
    outcome.status = run.status;
    outcome.total = run.total;
    outcome.etag = run.etag;
    outcome.resumable = run.ranges;
    outcome.file_touched = run.file_touched;
  }
  outcome.have = HeldSpans(run);
  if (outcome.end == TransferEnd::Done && !run.check.hex.empty()) {
    // Without an announced length the hash could not follow the body; it is taken now.
    const int64_t size = outcome.have.empty() ? 0 : outcome.have.back().end;
    bool cancelled = false;
    outcome.digest_hex = hashing ? digest : HashFile(setup.data_path, run.check, size, setup.progress, &cancelled);
    if (cancelled) outcome.end = TransferEnd::Cancelled;
  }
  // The hub's own hash stood in for a listing that named none: checked here, and the caller, which
  // knows no hash, sees bytes that are not the hub's file as a file that changed under the copy.
  if (run.linked_check) {
    if (outcome.end == TransferEnd::Done && outcome.digest_hex != run.check.hex) {
      LogMessage(u"Download content mismatch: " + setup.name + u" expected=" + Utf8ToWide(run.check.hex) +
                 u" got=" + Utf8ToWide(outcome.digest_hex.empty() ? std::string("(unreadable)") : outcome.digest_hex));
      outcome.end = TransferEnd::Changed;
    }
    outcome.digest_hex.clear();
  }
  if (run.linked_size_seen >= 0) {
    LogMessage(u"Download size differs from the hub's: " + setup.name + u" linked size=" +
               WideDecimal(run.linked_size) + u" size=" + WideDecimal(run.linked_size_seen));
  }
  if (outcome.end == TransferEnd::RateLimited) NoteDownloadRateLimited(run.limited);
  return outcome;
}
