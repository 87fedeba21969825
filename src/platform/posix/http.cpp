// POSIX side of the HTTP seam: one exchange on libcurl's easy interface (a GET, or a POST or PUT whose
// body a source produces while it is sent), redirects never followed.
#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <strings.h>
#include <vector>

#include "platform/platform.h"
#include "core/text.h"

namespace {

constexpr int kAbortPollMs = 50;

struct CurlEasy {
  CURL* handle = curl_easy_init();
  ~CurlEasy() {
    if (handle) curl_easy_cleanup(handle);
  }
  CurlEasy() = default;
  CurlEasy(const CurlEasy&) = delete;
  CurlEasy& operator=(const CurlEasy&) = delete;
};

struct CurlMulti {
  CURLM* handle = curl_multi_init();
  CURL* added = nullptr;
  ~CurlMulti() {
    if (added) curl_multi_remove_handle(handle, added);
    if (handle) curl_multi_cleanup(handle);
  }
  CurlMulti() = default;
  CurlMulti(const CurlMulti&) = delete;
  CurlMulti& operator=(const CurlMulti&) = delete;
};

struct CurlHeaders {
  curl_slist* list = nullptr;
  ~CurlHeaders() { curl_slist_free_all(list); }
  CurlHeaders() = default;
  CurlHeaders(const CurlHeaders&) = delete;
  CurlHeaders& operator=(const CurlHeaders&) = delete;
  bool Add(const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (!grown) return false;
    list = grown;
    return true;
  }
};

// curl_global_init is not thread-safe in every libcurl; the host may start on any of its threads.
void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Exchange {
  CURL* curl = nullptr;
  HttpResponseHead* head = nullptr;
  const HttpHeadSink* on_head = nullptr;
  const HttpBodySink* on_body = nullptr;
  const HttpRequestBody* body = nullptr;
  const std::atomic<bool>* abort = nullptr;
  int64_t sent = 0;                  // request body bytes handed to curl
  bool source_stopped = false;       // the body's source, or the abort flag, ended the upload
  HttpResponseHead pending;          // headers of the response being received
  bool head_done = false;
  bool declined = false;             // the head sink did not want the body
  bool stopped = false;              // the body sink asked to stop
  std::exception_ptr error;          // thrown by a sink; rethrown once curl has let go
};

std::string Trim(const char* data, size_t size) {
  size_t begin = 0;
  while (begin < size && (data[begin] == ' ' || data[begin] == '\t')) ++begin;
  while (size > begin && (data[size - 1] == '\r' || data[size - 1] == '\n' || data[size - 1] == ' ' ||
                          data[size - 1] == '\t')) {
    --size;
  }
  return std::string(data + begin, size - begin);
}

bool NameIs(const char* line, size_t name_size, const char* name) {
  return std::strlen(name) == name_size && strncasecmp(line, name, name_size) == 0;
}

size_t OnHeaderLine(char* data, size_t, size_t size, void* user) {
  auto* x = static_cast<Exchange*>(user);
  try {
    if (size >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
      x->pending = HttpResponseHead();  // a new status line: an interim 1xx head is forgotten
      return size;
    }
    const std::string line = Trim(data, size);
    if (!line.empty()) {
      if (x->pending.raw_headers.size() + line.size() + 2 <= kMaxRawHeaderBytes) {
        x->pending.raw_headers += line;
        x->pending.raw_headers += "\r\n";
      }
      const size_t colon = line.find(':');
      if (colon == std::string::npos) return size;
      const std::string value = Trim(line.data() + colon + 1, line.size() - colon - 1);
      if (NameIs(line.data(), colon, "Link")) {
        // Repeated headers are joined the way WinHTTP reports them.
        const std::u16string wide = Utf8ToWide(value);
        x->pending.link = x->pending.link.empty() ? wide : x->pending.link + u", " + wide;
      } else if (NameIs(line.data(), colon, "Content-Length")) {
        x->pending.has_content_length = true;
        x->pending.content_length = value;
      } else if (NameIs(line.data(), colon, "Location")) {
        x->pending.location = Utf8ToWide(value);
      } else if (NameIs(line.data(), colon, "Accept-Ranges")) {
        x->pending.accept_ranges = value;
      } else if (NameIs(line.data(), colon, "ETag")) {
        x->pending.etag = value;
      } else if (NameIs(line.data(), colon, "Content-Range")) {
        x->pending.content_range = value;
      }
      return size;
    }
    long code = 0;
    curl_easy_getinfo(x->curl, CURLINFO_RESPONSE_CODE, &code);
    if (code < 200) return size;  // the end of an interim head; the real one follows
    x->pending.status = static_cast<uint32_t>(code);
    *x->head = x->pending;
    x->head_done = true;
    if (*x->on_head && !(*x->on_head)(*x->head)) {
      x->declined = true;
      return 0;
    }
    return size;
  } catch (...) {
    x->error = std::current_exception();
    return 0;
  }
}

size_t OnBody(char* data, size_t, size_t size, void* user) {
  auto* x = static_cast<Exchange*>(user);
  try {
    if (size == 0 || !*x->on_body) return size;
    if (!(*x->on_body)(data, size)) {
      x->stopped = true;
      return 0;
    }
    return size;
  } catch (...) {
    x->error = std::current_exception();
    return 0;
  }
}

// The request body, as curl asks for it. A source that ends early must not look like the body's end.
size_t OnRead(char* buffer, size_t, size_t size, void* user) {
  auto* x = static_cast<Exchange*>(user);
  try {
    const int64_t left = x->body->size - x->sent;
    if (left <= 0) return 0;
    if (x->abort && x->abort->load()) {
      x->source_stopped = true;
      return CURL_READFUNC_ABORT;
    }
    const size_t room = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(size)));
    const int64_t given = x->body->read ? x->body->read(buffer, room) : -1;
    if (given <= 0 || given > static_cast<int64_t>(room)) {
      x->source_stopped = true;
      return CURL_READFUNC_ABORT;
    }
    x->sent += given;
    return static_cast<size_t>(given);
  } catch (...) {
    x->error = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

bool NamesHeader(const std::vector<std::string>& lines, const char* name) {
  const size_t size = std::strlen(name);
  for (const std::string& line : lines) {
    if (line.size() > size && line[size] == ':' && strncasecmp(line.c_str(), name, size) == 0) return true;
  }
  return false;
}

}  // namespace

int PlatformMaxDownloadConnections() { return 16; }  // about 0.45 MiB each: the setting's whole range

// The transfer polls the abort flag itself at least this often, so there is nothing to wake here.
void PlatformHttpAbort(const std::atomic<bool>*) {}

HttpExchangeResult PlatformHttpExchange(const HttpExchangeRequest& request, HttpResponseHead* head,
                                        const HttpHeadSink& on_head, const HttpBodySink& on_body) {
  InitCurlOnce();
  CurlEasy easy;
  CurlHeaders headers;
  if (!easy.handle) return HttpExchangeResult::NoResponse;
  CURL* curl = easy.handle;

  const std::string url = std::string(request.secure ? "https://" : "http://") + WideToUtf8(request.host) + ":" +
                          std::to_string(request.port) + WideToUtf8(request.object);
  // No Accept header: the request carries what a WinHTTP request with default accept types carries.
  if (!headers.Add("Accept:")) return HttpExchangeResult::NoResponse;
  if (!request.bearer_key.empty() && !headers.Add("Authorization: Bearer " + request.bearer_key)) {
    return HttpExchangeResult::NoResponse;
  }
  for (const std::string& line : request.extra_headers) {
    if (!headers.Add(line)) return HttpExchangeResult::NoResponse;
  }
  const bool sends_body = request.method != HttpMethod::Get;
  // curl would add "Expect: 100-continue" (a second's wait on servers that ignore it) and a form's
  // Content-Type to a POST; only what the caller names goes out.
  if (sends_body && (!headers.Add("Expect:") ||
                     (!NamesHeader(request.extra_headers, "Content-Type") && !headers.Add("Content-Type:")))) {
    return HttpExchangeResult::NoResponse;
  }

  HttpResponseHead local_head;
  Exchange x;
  x.curl = curl;
  x.head = head ? head : &local_head;
  x.on_head = &on_head;
  x.on_body = &on_body;
  x.body = &request.body;
  x.abort = request.abort;
  const curl_off_t body_size = static_cast<curl_off_t>(std::max<int64_t>(request.body.size, 0));

  const long connect_ms = static_cast<long>(request.resolve_timeout_ms) + static_cast<long>(request.connect_timeout_ms);
  // An idle receive timeout: less than one byte per second for that long ends the exchange.
  const long idle_seconds = std::max<long>(1, static_cast<long>(request.receive_timeout_ms / 1000));
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  if (request.method == HttpMethod::Post) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, body_size);
    if (body_size == 0) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
  } else if (request.method == HttpMethod::Put) {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, body_size);
  } else {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  }
  if (sends_body) {
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &OnRead);
    curl_easy_setopt(curl, CURLOPT_READDATA, &x);
  }
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "tarnfs/1.0");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, idle_seconds);
  curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (request.read_chunk > 0) curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(request.read_chunk));
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeaderLine);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &x);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &x);

  // The multi interface runs the transfer as curl_easy_perform would, but waits at most a moment at a
  // time, so that a raised abort flag ends even an exchange on which nothing arrives.
  CurlMulti multi;
  if (!multi.handle || curl_multi_add_handle(multi.handle, curl) != CURLM_OK) return HttpExchangeResult::NoResponse;
  multi.added = curl;
  CURLcode code = CURLE_OK;
  bool aborted = false;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi.handle, &running) != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
    if (running == 0) {
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi.handle, &left)) {
        if (message->msg == CURLMSG_DONE) code = message->data.result;
      }
      break;
    }
    if (request.abort && request.abort->load()) {
      aborted = true;
      break;
    }
    if (curl_multi_poll(multi.handle, nullptr, 0, kAbortPollMs, nullptr) != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
  }
  if (x.error) std::rethrow_exception(x.error);
  if (aborted || x.source_stopped || (request.abort && request.abort->load() && code != CURLE_OK)) {
    return HttpExchangeResult::Stopped;
  }
  if (!x.head_done) return HttpExchangeResult::NoResponse;
  if (x.declined) return HttpExchangeResult::Complete;
  if (x.stopped) return HttpExchangeResult::Stopped;
  return code == CURLE_OK ? HttpExchangeResult::Complete : HttpExchangeResult::BodyFailed;
}
