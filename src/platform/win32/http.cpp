// Windows side of the HTTP seam: one synchronous WinHTTP GET, redirects never followed.
#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace {

// Owns one HINTERNET; declared session, connection, request so that they close in reverse order.
struct InternetHandle {
  HINTERNET handle = nullptr;
  explicit InternetHandle(HINTERNET h) : handle(h) {}
  ~InternetHandle() {
    if (handle) WinHttpCloseHandle(handle);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
};

// One header value by info level (and name for custom ones), length first; `index` walks repeats.
bool QueryHeader(HINTERNET request, DWORD info, const wchar_t* name, DWORD* index, std::wstring* value) {
  DWORD bytes = 0;
  if (WinHttpQueryHeaders(request, info, name, WINHTTP_NO_OUTPUT_BUFFER, &bytes, index)) {
    value->clear();
    return true;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
  DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, info, name, &buffer[0], &size, index)) return false;
  buffer.resize(size / sizeof(wchar_t));
  if (!buffer.empty() && buffer.back() == L'\0') buffer.pop_back();
  *value = std::move(buffer);
  return true;
}

// Every Link header, joined the way a single comma-separated header reads. A value of 2 bytes or
// less with its terminator (an empty one) is ignored.
std::u16string QueryLink(HINTERNET request) {
  std::u16string joined;
  DWORD index = 0;
  for (int instance = 0; instance < 64; ++instance) {
    const DWORD before = index;
    std::wstring value;
    if (!QueryHeader(request, WINHTTP_QUERY_CUSTOM, L"Link", &index, &value)) break;
    if (!value.empty()) joined += joined.empty() ? U(value) : u", " + U(value);
    if (index == before) break;
  }
  return joined;
}

// A header of ASCII text (validators, ranges); other characters become "?"; empty when absent.
std::string QueryAscii(HINTERNET request, DWORD info) {
  std::wstring value;
  if (!QueryHeader(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_HEADER_INDEX, &value)) return std::string();
  std::string ascii;
  for (wchar_t c : value) ascii.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return ascii;
}

bool ReadHead(HINTERNET request, HttpResponseHead* head) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  head->status = status;
  head->link = QueryLink(request);
  wchar_t length[64] = {0};  // 128 bytes: a longer value is no length at all
  size = sizeof(length);
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length, &size,
                          WINHTTP_NO_HEADER_INDEX)) {
    head->has_content_length = true;
    head->content_length.clear();
    for (DWORD i = 0; i < size / sizeof(wchar_t) && length[i]; ++i) {
      head->content_length.push_back(length[i] < 0x80 ? static_cast<char>(length[i]) : '?');
    }
  }
  std::wstring location;
  if (QueryHeader(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_HEADER_INDEX,
                  &location)) {
    head->location = U(location);
  }
  head->accept_ranges = QueryAscii(request, WINHTTP_QUERY_ACCEPT_RANGES);
  head->etag = QueryAscii(request, WINHTTP_QUERY_ETAG);
  head->content_range = QueryAscii(request, WINHTTP_QUERY_CONTENT_RANGE);
  return true;
}

}  // namespace

// Eight keep a download's peak memory growth under Wine at about 13 MiB (16 would take 23 MiB) and
// lose nothing there: under Wine a download is CPU-bound, and 16 connections ran no faster than 8.
int PlatformMaxDownloadConnections() { return 8; }

HttpExchangeResult PlatformHttpGet(const HttpExchangeRequest& request, HttpResponseHead* head,
                                   const HttpHeadSink& on_head, const HttpBodySink& on_body) {
  InternetHandle session(WinHttpOpen(L"tarnfs/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session.handle) return HttpExchangeResult::NoResponse;
  WinHttpSetTimeouts(session.handle, static_cast<int>(request.resolve_timeout_ms),
                     static_cast<int>(request.connect_timeout_ms), static_cast<int>(request.send_timeout_ms),
                     static_cast<int>(request.receive_timeout_ms));
  InternetHandle connection(WinHttpConnect(session.handle, W(request.host).c_str(), request.port, 0));
  if (!connection.handle) return HttpExchangeResult::NoResponse;
  // The object arrives escaped and free of spaces and controls; WinHTTP must send it as it is.
  const DWORD flags = (request.secure ? WINHTTP_FLAG_SECURE : 0) | WINHTTP_FLAG_ESCAPE_DISABLE |
                      WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
  InternetHandle req(WinHttpOpenRequest(connection.handle, L"GET", W(request.object).c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!req.handle) return HttpExchangeResult::NoResponse;

  // Redirects are decided above the seam (where the key may go); a transport that would follow them
  // on its own must not be used at all.
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  const bool policy_set = WinHttpSetOption(req.handle, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
  DWORD feature = WINHTTP_DISABLE_REDIRECTS;
  const bool feature_set = WinHttpSetOption(req.handle, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof(feature));
  if (!policy_set && !feature_set) return HttpExchangeResult::NoResponse;
  // The wait for the head has a timeout of its own (90 s by default); the receive timeout covers it too.
  DWORD head_timeout = request.receive_timeout_ms;
  WinHttpSetOption(req.handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head_timeout, sizeof(head_timeout));

  if (!request.bearer_key.empty()) {
    std::wstring header = L"Authorization: Bearer ";
    const int units = MultiByteToWideChar(CP_UTF8, 0, request.bearer_key.data(),
                                          static_cast<int>(request.bearer_key.size()), nullptr, 0);
    std::wstring key(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) {
      MultiByteToWideChar(CP_UTF8, 0, request.bearer_key.data(), static_cast<int>(request.bearer_key.size()),
                          &key[0], units);
    }
    header += key;
    if (!WinHttpAddRequestHeaders(req.handle, header.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD)) {
      return HttpExchangeResult::NoResponse;
    }
  }

  for (const std::string& line : request.extra_headers) {
    const std::wstring header(line.begin(), line.end());  // ASCII by construction
    if (!WinHttpAddRequestHeaders(req.handle, header.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD)) {
      return HttpExchangeResult::NoResponse;
    }
  }

  if (!WinHttpSendRequest(req.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(req.handle, nullptr)) {
    return HttpExchangeResult::NoResponse;
  }
  HttpResponseHead local_head;
  HttpResponseHead* filled = head ? head : &local_head;
  if (!ReadHead(req.handle, filled)) return HttpExchangeResult::NoResponse;
  if (on_head && !on_head(*filled)) return HttpExchangeResult::Complete;

  if (request.read_chunk > 0) {
    // Fixed-size reads into one buffer: a read of 0 bytes is the end of the body.
    std::vector<char> buffer(request.read_chunk);
    for (;;) {
      DWORD got = 0;
      if (!WinHttpReadData(req.handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
        return HttpExchangeResult::BodyFailed;
      }
      if (got == 0) return HttpExchangeResult::Complete;
      if (on_body && !on_body(buffer.data(), got)) return HttpExchangeResult::Stopped;
    }
  }
  std::vector<char> buffer;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(req.handle, &available)) return HttpExchangeResult::BodyFailed;
    if (available == 0) return HttpExchangeResult::Complete;
    if (buffer.size() < available) buffer.resize(available);
    DWORD got = 0;
    if (!WinHttpReadData(req.handle, buffer.data(), available, &got)) return HttpExchangeResult::BodyFailed;
    if (got == 0) return HttpExchangeResult::Complete;
    if (on_body && !on_body(buffer.data(), got)) return HttpExchangeResult::Stopped;
  }
}
