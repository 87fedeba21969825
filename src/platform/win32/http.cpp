// Windows side of the HTTP seam: one synchronous WinHTTP exchange (a GET, or a POST or PUT whose body a
// source produces while it is written), redirects never followed.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/text.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace {

constexpr size_t kDefaultReadChunk = 65536;
constexpr size_t kWriteChunk = 65536;

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

// Every header line after the status line, as UTF-8 (WinHTTP hands out text it decoded as Latin-1 or
// UTF-8), cut at kMaxRawHeaderBytes on a line's end.
std::string QueryRawHeaders(HINTERNET request) {
  std::wstring value;
  if (!QueryHeader(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_HEADER_INDEX,
                   &value)) {
    return std::string();
  }
  const std::string all = WideToUtf8(U(value));
  std::string lines;
  size_t pos = all.find("\r\n");  // the status line ends here
  while (pos != std::string::npos && pos + 2 < all.size()) {
    const size_t begin = pos + 2;
    const size_t end = all.find("\r\n", begin);
    const std::string line = all.substr(begin, (end == std::string::npos ? all.size() : end) - begin);
    if (!line.empty()) {
      if (lines.size() + line.size() + 2 > kMaxRawHeaderBytes) break;
      lines += line + "\r\n";
    }
    pos = end;
  }
  return lines;
}

// ---- Ending an exchange that waits ------------------------------------------------------------------
// A synchronous WinHTTP call looks at nothing while it waits for bytes. On Windows, closing the request
// handle from another thread ends the call. Wine ignores that until the receive times out (it keeps the
// request alive while a call uses it), but ends a receive whose socket's I/O is cancelled: so under
// Wine the exchange notes its connection's addresses when it connects, and the abort cancels the I/O
// of the process's socket with those addresses.

struct InFlight {
  const std::atomic<bool>* abort = nullptr;
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  bool closed_by_abort = false;  // the request handle is closed; the exchange may still hold its value
  bool connected = false;
  SOCKADDR_STORAGE local{};
  SOCKADDR_STORAGE remote{};

  bool Aborted() const { return abort && abort->load(); }
};

std::mutex g_in_flight_lock;
std::condition_variable g_in_flight_changed;
std::vector<InFlight*> g_in_flight;
// Request handles the abort closed whose exchange has not yet let go of them. No handle is made while
// there are any, so that a closed handle's value, reused at once, never reaches the old exchange.
int g_closed_unseen = 0;

bool UnderWine() {
  static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

bool SameAddress(const SOCKADDR_STORAGE& a, const SOCKADDR_STORAGE& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET) {
    const auto& x = reinterpret_cast<const sockaddr_in&>(a);
    const auto& y = reinterpret_cast<const sockaddr_in&>(b);
    return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
  }
  if (a.ss_family == AF_INET6) {
    const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
    const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
    return x.sin6_port == y.sin6_port && std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof(x.sin6_addr)) == 0;
  }
  return false;
}

void NoteConnection(HINTERNET request, InFlight* exchange) {
  WINHTTP_CONNECTION_INFO info{};
  info.cbSize = sizeof(info);
  DWORD size = sizeof(info);
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_CONNECTION_INFO, &info, &size)) return;
  std::lock_guard<std::mutex> guard(g_in_flight_lock);
  exchange->local = info.LocalAddress;
  exchange->remote = info.RemoteAddress;
  exchange->connected = true;
}

// Wine keeps connections for reuse across sessions and never announces one it reuses as connected;
// and on a reused one WinHttpSendRequest itself waits for the answer's head. So the addresses are
// noted as the request goes out too.
void CALLBACK OnConnected(HINTERNET request, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
  if (context == 0 || (status != WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER &&
                       status != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST)) {
    return;
  }
  NoteConnection(request, reinterpret_cast<InFlight*>(context));
}

// NtQuerySystemInformation(SystemExtendedHandleInformation): every open handle with its process.
struct HandleEntry {
  PVOID object;
  ULONG_PTR process_id;
  ULONG_PTR value;
  ULONG access;
  USHORT creator_back_trace;
  USHORT type_index;
  ULONG attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
using QuerySystemInformation = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

// Under the lock: cancels the I/O of every socket of this process whose addresses are an aborted
// exchange's.
void CancelSocketsOf(const std::vector<const InFlight*>& aborted) {
  const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return;
  std::vector<char> buffer(1 << 16);
  LONG status = 0;
  for (int grow = 0; grow < 8; ++grow) {
    ULONG needed = 0;
    status = query(64, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status != static_cast<LONG>(0xC0000004L)) break;  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  if (status != 0) return;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  const ULONG_PTR self = GetCurrentProcessId();
  for (ULONG_PTR i = 0; i < table->count; ++i) {
    if (table->entries[i].process_id != self) continue;
    const SOCKET socket = static_cast<SOCKET>(table->entries[i].value);
    SOCKADDR_STORAGE local{}, remote{};
    int local_size = sizeof(local), remote_size = sizeof(remote);
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &local_size) != 0 ||
        getpeername(socket, reinterpret_cast<sockaddr*>(&remote), &remote_size) != 0) {
      continue;
    }
    for (const InFlight* exchange : aborted) {
      if (SameAddress(local, exchange->local) && SameAddress(remote, exchange->remote)) {
        CancelIoEx(reinterpret_cast<HANDLE>(socket), nullptr);
      }
    }
  }
  WSACleanup();
}

// Registers the exchange and makes its handles, under the lock and once no closed handle is still held.
bool OpenExchange(const HttpExchangeRequest& request, InFlight* x) {
  std::unique_lock<std::mutex> guard(g_in_flight_lock);
  g_in_flight_changed.wait(guard, [] { return g_closed_unseen == 0; });
  g_in_flight.push_back(x);
  x->session = WinHttpOpen(L"tarnfs/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
  if (!x->session) return false;
  // A request takes the session's timeouts when it is opened: set later, they would never reach it
  // (leaving name resolution without limit and the receive at WinHTTP's 30 s).
  if (!WinHttpSetTimeouts(x->session, static_cast<int>(request.resolve_timeout_ms),
                          static_cast<int>(request.connect_timeout_ms), static_cast<int>(request.send_timeout_ms),
                          static_cast<int>(request.receive_timeout_ms))) {
    return false;
  }
  x->connection = WinHttpConnect(x->session, W(request.host).c_str(), request.port, 0);
  if (!x->connection) return false;
  // The object arrives escaped and free of spaces and controls; WinHTTP must send it as it is.
  const DWORD flags = (request.secure ? WINHTTP_FLAG_SECURE : 0) | WINHTTP_FLAG_ESCAPE_DISABLE |
                      WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
  const wchar_t* verb = request.method == HttpMethod::Post ? L"POST" : request.method == HttpMethod::Put ? L"PUT" : L"GET";
  x->request = WinHttpOpenRequest(x->connection, verb, W(request.object).c_str(), nullptr, WINHTTP_NO_REFERER,
                                  WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
  return x->request != nullptr;
}

void CloseExchange(InFlight* x) {
  std::lock_guard<std::mutex> guard(g_in_flight_lock);
  g_in_flight.erase(std::find(g_in_flight.begin(), g_in_flight.end(), x));
  if (x->closed_by_abort) {
    --g_closed_unseen;
    g_in_flight_changed.notify_all();
  } else if (x->request) {
    WinHttpCloseHandle(x->request);
  }
  if (x->connection) WinHttpCloseHandle(x->connection);
  if (x->session) WinHttpCloseHandle(x->session);
}

struct ExchangeGuard {
  InFlight* x;
  ~ExchangeGuard() { CloseExchange(x); }
};

}  // namespace

void PlatformHttpAbort(const std::atomic<bool>* abort) {
  std::lock_guard<std::mutex> guard(g_in_flight_lock);
  std::vector<const InFlight*> waiting;
  for (InFlight* x : g_in_flight) {
    if (x->abort != abort || !x->request || x->closed_by_abort) continue;
    if (UnderWine()) {
      if (x->connected) waiting.push_back(x);
    } else {
      WinHttpCloseHandle(x->request);
      x->closed_by_abort = true;
      ++g_closed_unseen;
    }
  }
  if (!waiting.empty()) CancelSocketsOf(waiting);
}

namespace {

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
  head->raw_headers = QueryRawHeaders(request);
  return true;
}

enum class Sent { Whole, Stopped, Failed };

// The request body in buffer-sized writes (each costs a round trip to the Wine server there), the
// abort flag looked at before each; a write blocked on a server that reads nothing ends through
// PlatformHttpAbort.
Sent WriteBody(HINTERNET request, const HttpRequestBody& body, int64_t size, const InFlight& x) {
  std::vector<char> buffer(kWriteChunk);
  for (int64_t sent = 0; sent < size;) {
    const size_t fill = static_cast<size_t>(std::min<int64_t>(size - sent, static_cast<int64_t>(buffer.size())));
    for (size_t filled = 0; filled < fill;) {
      if (x.Aborted()) return Sent::Stopped;
      const int64_t given = body.read ? body.read(buffer.data() + filled, fill - filled) : -1;
      if (given <= 0 || given > static_cast<int64_t>(fill - filled)) return Sent::Stopped;
      filled += static_cast<size_t>(given);
    }
    if (x.Aborted()) return Sent::Stopped;
    DWORD written = 0;
    if (!WinHttpWriteData(request, buffer.data(), static_cast<DWORD>(fill), &written) ||
        written != static_cast<DWORD>(fill)) {
      return x.Aborted() ? Sent::Stopped : Sent::Failed;
    }
    sent += static_cast<int64_t>(fill);
  }
  return Sent::Whole;
}

}  // namespace

// Eight keep a download's peak memory growth under Wine at about 13 MiB (16 would take 23 MiB) and
// lose nothing there: under Wine a download is CPU-bound, and 16 connections ran no faster than 8.
int PlatformMaxDownloadConnections() { return 8; }

HttpExchangeResult PlatformHttpExchange(const HttpExchangeRequest& request, HttpResponseHead* head,
                                        const HttpHeadSink& on_head, const HttpBodySink& on_body) {
  InFlight x;
  x.abort = request.abort;
  ExchangeGuard closing{&x};
  if (!OpenExchange(request, &x)) return HttpExchangeResult::NoResponse;
  // Closed by the abort, the handle's value stays unused until this exchange ends (OpenExchange).
  const HINTERNET req = x.request;
  if (request.abort && UnderWine()) {
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&x);
    WinHttpSetOption(req, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
    WinHttpSetStatusCallback(req, &OnConnected, WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SEND_REQUEST,
                             0);
  }

  // Redirects are decided above the seam (where the key may go); a transport that would follow them
  // on its own must not be used at all.
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  const bool policy_set = WinHttpSetOption(req, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
  DWORD feature = WINHTTP_DISABLE_REDIRECTS;
  const bool feature_set = WinHttpSetOption(req, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof(feature));
  if (!policy_set && !feature_set) return HttpExchangeResult::NoResponse;
  // The wait for the head has a timeout of its own (90 s by default); the receive timeout covers it too.
  DWORD head_timeout = request.receive_timeout_ms;
  WinHttpSetOption(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head_timeout, sizeof(head_timeout));

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
    if (!WinHttpAddRequestHeaders(req, header.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD)) {
      return HttpExchangeResult::NoResponse;
    }
  }

  for (const std::string& line : request.extra_headers) {
    const std::wstring header(line.begin(), line.end());  // ASCII by construction
    if (!WinHttpAddRequestHeaders(req, header.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD)) {
      return HttpExchangeResult::NoResponse;
    }
  }

  const int64_t body_size = request.method == HttpMethod::Get ? 0 : std::max<int64_t>(request.body.size, 0);
  // The total length WinHTTP takes is 32 bits; a longer body announces its length in a header of its own.
  DWORD total = static_cast<DWORD>(body_size);
  if (body_size > 0xFFFFFFFFll) {
    const std::wstring header = L"Content-Length: " + std::to_wstring(body_size);
    if (!WinHttpAddRequestHeaders(req, header.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD)) {
      return HttpExchangeResult::NoResponse;
    }
    total = WINHTTP_IGNORE_REQUEST_TOTAL_LENGTH;
  }

  if (x.Aborted()) return HttpExchangeResult::Stopped;
  if (!WinHttpSendRequest(req, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, total, 0)) {
    return x.Aborted() ? HttpExchangeResult::Stopped : HttpExchangeResult::NoResponse;
  }
  // A write that fails may be a server that answered before the whole body (a refusal): its answer,
  // if one came, is read as any other.
  if (body_size > 0 && WriteBody(req, request.body, body_size, x) == Sent::Stopped) {
    return HttpExchangeResult::Stopped;
  }
  if (x.Aborted() || !WinHttpReceiveResponse(req, nullptr)) {
    return x.Aborted() ? HttpExchangeResult::Stopped : HttpExchangeResult::NoResponse;
  }
  HttpResponseHead local_head;
  HttpResponseHead* filled = head ? head : &local_head;
  if (!ReadHead(req, filled)) return HttpExchangeResult::NoResponse;
  if (on_head && !on_head(*filled)) return HttpExchangeResult::Complete;

  // One buffer for every read, the abort flag looked at before each; a read of 0 bytes ends the body.
  std::vector<char> buffer(request.read_chunk > 0 ? request.read_chunk : kDefaultReadChunk);
  for (;;) {
    if (x.Aborted()) return HttpExchangeResult::Stopped;
    DWORD got = 0;
    if (!WinHttpReadData(req, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
      return x.Aborted() ? HttpExchangeResult::Stopped : HttpExchangeResult::BodyFailed;
    }
    if (got == 0) return x.Aborted() ? HttpExchangeResult::Stopped : HttpExchangeResult::Complete;
    if (on_body && !on_body(buffer.data(), got)) return HttpExchangeResult::Stopped;
  }
}
