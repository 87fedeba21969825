// One repository file streamed to disk: redirects followed, progress throttled, cancel honoured.
//
// The body goes into a temporary file beside the target, which replaces the target only when the
// download is complete: a failed or cancelled copy never destroys a file that already stood there.
#include "hub/download.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include "hub/http.h"
#include "platform/platform.h"
#include "core/files.h"
#include "core/state.h"
#include "core/text.h"

namespace {

constexpr uint32_t kDownloadReceiveTimeoutMs = 120000;
constexpr int kMaxDownloadRedirects = 20;
constexpr size_t kReadChunk = 262144;
constexpr size_t kWriteBuffer = 1048576;
constexpr size_t kContentLengthUnits = 63;  // what a 128-byte header buffer holds besides its NUL
constexpr uint64_t kProgressIntervalMs = 100;

std::atomic<TickSource> g_tick_source{nullptr};

uint64_t NowMs() {
  const TickSource source = g_tick_source.load();
  return source ? source() : PlatformTickMs();
}

// Leading decimal digits after optional blanks and sign, saturating; 0 when there are none.
int64_t ParseContentLength(const std::string& text) {
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

struct Transfer {
  uint32_t status = 0;
  int64_t total = -1;
  int64_t done = 0;
  int32_t last_percent = -1;
  uint64_t last_report = 0;
  bool open_failed = false;
  bool write_failed = false;
  bool cancelled = false;
  bool opened = false;
  std::unique_ptr<char[]> write_buffer;
  std::ofstream out;
};

DownloadResult Download(const std::string& repo_id, const std::string& file_path, const std::u16string& local_path,
                        const std::string& api_key, const ProgressFn& progress, uint32_t is_dataset,
                        const std::u16string& temp_path, Transfer* t) {
  const std::string url = HubSiteUrl() + (is_dataset == 1 ? "datasets/" : "") + UrlEncode(repo_id, true) +
                          "/resolve/main/" + UrlEncode(file_path, true);
  HttpFetchOptions options;
  options.receive_timeout_ms = kDownloadReceiveTimeoutMs;
  options.follow_to_plain_http = true;
  options.max_redirects = kMaxDownloadRedirects;
  options.read_chunk = kReadChunk;

  const auto on_head = [&](const HttpResponseHead& head) {
    t->status = head.status;
    if (head.status != 200) return false;
    t->total = head.has_content_length && head.content_length.size() <= kContentLengthUnits
                   ? ParseContentLength(head.content_length)
                   : -1;
    t->write_buffer.reset(new char[kWriteBuffer]);
    t->out.rdbuf()->pubsetbuf(t->write_buffer.get(), kWriteBuffer);  // only takes effect before open
    t->out.open(FsPath(temp_path), std::ios::binary | std::ios::out | std::ios::trunc);
    if (!t->out.is_open()) {
      t->open_failed = true;
      return false;
    }
    t->opened = true;
    return true;
  };
  const auto on_body = [&](const char* data, size_t size) {
    t->out.write(data, static_cast<std::streamsize>(size));
    if (!t->out) {
      t->write_failed = true;  // a full disk stays full: stop reading
      return false;
    }
    t->done += static_cast<int64_t>(size);
    if (!progress) return true;
    const int32_t percent = t->total > 0 ? static_cast<int32_t>(t->done * 100 / t->total) : -1;
    const uint64_t now = NowMs();
    if (percent != t->last_percent || now - t->last_report >= kProgressIntervalMs) {
      t->last_percent = percent;
      t->last_report = now;
      if (!progress(t->done, t->total)) {
        t->cancelled = true;
        return false;
      }
    }
    return true;
  };

  HttpResponseHead head;
  const HttpExchangeResult result = HttpFetch(Utf8ToWide(url), api_key, options, &head, on_head, on_body);
  if (result == HttpExchangeResult::NoResponse) return DownloadFailed;
  if (t->status == 401 || t->status == 403) return DownloadDenied;
  if (t->status == 404) return DownloadNotFound;
  if (t->status != 200 || t->open_failed) return DownloadFailed;

  t->out.flush();
  bool failed = !t->out.good() || t->write_failed || result == HttpExchangeResult::BodyFailed;
  t->out.close();
  failed = failed || t->out.fail();
  if (t->cancelled) return DownloadCancelled;
  // A body shorter or longer than announced is damaged (also Wine's WinHTTP ending bodies at 2 GiB).
  if (failed || result != HttpExchangeResult::Complete || (t->total >= 1 && t->done != t->total)) {
    return DownloadFailed;
  }
  if (!PlatformReplaceFile(temp_path, local_path, false)) return DownloadFailed;
  t->opened = false;  // the temporary file is the target now
  if (progress) progress(t->done, t->total);  // the final report; its answer no longer matters
  return DownloadOk;
}

}  // namespace

void SetDownloadTickSourceForTesting(TickSource source) { g_tick_source.store(source); }

DownloadResult DownloadFile(const std::string& repo_id, const std::string& file_path,
                            const std::u16string& local_path, const std::string& api_key, ProgressFn progress,
                            uint32_t is_dataset) {
  ProgressFn report = std::move(progress);  // destroyed before this returns, as callers expect
  std::u16string temp_path;
  DownloadResult result = DownloadFailed;
  Transfer transfer;
  try {
    temp_path = local_path + u".tarnfs-" + WideDecimal(PlatformThreadId()) + u".part";
    result = Download(repo_id, file_path, local_path, api_key, report, is_dataset, temp_path, &transfer);
  } catch (...) {
    result = DownloadFailed;  // out of memory, or a progress callback that threw
  }
  if (transfer.out.is_open()) transfer.out.close();
  if (transfer.opened) RemoveFileQuietly(temp_path);
  report = nullptr;
  return result;
}
