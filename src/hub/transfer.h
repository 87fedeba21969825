// One attempt at a file's bytes: a first request, then (when the answer allows) ranges over several
// connections written at their offsets, a combined progress, cancel, and the content hash computed
// while the bytes arrive. The caller decides what the outcome means for the target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/files.h"
#include "hub/content_hash.h"
#include "hub/download.h"

struct TransferSetup {
  std::u16string url;            // the first request's address (the hub's)
  std::string api_key;
  std::u16string data_path;      // the bytes land here at their offsets
  // Bytes already in data_path, the total they belong to and their validator. With `have` empty the
  // file is created anew. An empty `etag` with bytes present is the host's resume: the first request
  // asks for the rest without a validator, and a server that sends the whole file ends the attempt.
  std::vector<ByteSpan> have;
  int64_t have_total = -1;
  std::string etag;
  int connections = 1;
  bool single_stream = false;    // one plain request for the whole file, whatever it announces
  ContentCheck check;            // hex empty: nothing hashed
  int64_t listed_size = -1;      // the listing's size, which the answer must have; -1: unknown
  const ProgressFn* progress = nullptr;
  std::u16string name;           // "owner/name/path" for the log
};

enum class TransferEnd {
  Done,          // every byte is in data_path
  Denied,        // 401 or 403 on the first request
  NotFound,      // 404 on the first request
  Cancelled,     // the progress callback said stop
  Failed,        // transport, status, local file, a short body, a range that kept failing
  Changed,       // the file changed on the hub between two requests of this attempt
  OtherSize,     // the answer's size is not the listing's: the file changed after it was listed
  NoRanges,      // a range was answered with something else than the range: ranges are not usable
  RateLimited,   // the hub's download limit is reached (a 429 not worth waiting for, or one again)
};

struct TransferOutcome {
  TransferEnd end = TransferEnd::Failed;
  uint32_t status = 0;           // the first request's final status (0: no answer)
  int64_t total = -1;            // the file's size as announced; -1 when unknown
  std::string etag;              // the validator the bytes belong to
  bool resumable = false;        // a strong validator and a known size: what arrived may be kept
  bool file_touched = false;     // data_path was created or written
  std::vector<ByteSpan> have;    // what data_path holds at the end
  std::string digest_hex;        // set when a check was given and every byte was hashed
};

TransferOutcome RunTransfer(const TransferSetup& setup);
// The check's hex digest of the first `size` bytes of a file; empty when there is nothing to check,
// the file cannot be read or the progress callback (told of the bytes hashed) asked to stop, which
// sets `*cancelled`.
std::string HashFile(const std::u16string& path, const ContentCheck& check, int64_t size,
                     const ProgressFn* progress = nullptr, bool* cancelled = nullptr);

// Tells the host of a copy at each new percent and at least every 100 ms in between.
struct ProgressReporter {
  const ProgressFn* progress = nullptr;
  int32_t last_percent = -1;
  uint64_t last_report = 0;

  explicit ProgressReporter(const ProgressFn* fn);
  // False when the host asked to cancel.
  bool Report(int64_t done, int64_t total);
};

// The pieces a parallel transfer of `total` bytes is cut into are this large: about eight a
// connection, and never so many that the plan of an absurd announced length fills the memory.
int64_t PieceSizeFor(int64_t total, int connections);
constexpr int64_t kMaxPieces = 16384;

// Files from this size on (16 MiB) go over several connections; smaller ones are one stream and keep no
// part. Below it one capped stream (40 to 50 MB/s a connection on the hub's content network and in
// bench/README.md) needs under half a second, little more than the extra connections' set-up (a TLS
// handshake each) costs, and such a file makes only four pieces of the smallest size (4 MiB).
int64_t ParallelFromBytes();
// Tests make small files parallel: pieces of `piece` bytes from `parallel_from` bytes on, and the
// connections wait for the hash once it lags by more than `hash_lag` bytes; 0 restores.
void SetTransferTuningForTesting(int64_t parallel_from, int64_t piece, int64_t hash_lag = 0);
