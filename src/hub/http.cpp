// HTTP above the platform seam: URL splitting, redirects and where the key may go, paging links.
//
// HttpGet rules: the URL is split (limits in http.h); with no usable URL, no request is made and
// both outputs stay untouched. The status output receives the final response's status whenever a
// response arrived, whatever its code, and the body read so far is returned with it. The next-link
// output is written only when the response carried a non-empty Link header with a rel=next entry.
// API redirects follow the WinHTTP default policy: up to 10 hops, never from https to http (then the
// redirect itself is the answer); an 11th redirect counts as no response.
#include "hub/http.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "core/state.h"
#include "core/text.h"
#include "hub/headers.h"
#include "hub/ratelimit.h"

namespace {

constexpr size_t kMaxHostUnits = 255;
constexpr size_t kMaxPathUnits = 4095;
constexpr size_t kMaxExtraUnits = 4095;

std::atomic<HttpExchangeFn> g_exchange{nullptr};
thread_local const std::atomic<bool>* t_api_abort = nullptr;  // see HttpAbortScope

bool IsAsciiAlpha(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool IsRedirectStatus(uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Spaces and non-ASCII text become UTF-8 escapes so that both transports send the same bytes; a
// control character (a CR or LF from a hostile Location above all) makes the text unusable.
bool NormalizeRequestText(std::u16string* text) {
  bool plain = true;
  for (char16_t c : *text) {
    if (c < 0x20 || c == 0x7F) return false;
    if (c == u' ' || c > 0x7E) plain = false;
  }
  if (plain) return true;
  static const char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = WideToUtf8(*text);
  std::u16string out;
  out.reserve(utf8.size() * 3);
  for (unsigned char b : utf8) {
    if (b == ' ' || b >= 0x80) {
      out.push_back(u'%');
      out.push_back(static_cast<char16_t>(kHex[b >> 4]));
      out.push_back(static_cast<char16_t>(kHex[b & 15]));
    } else {
      out.push_back(b);
    }
  }
  *text = std::move(out);
  return true;
}

bool ParsePort(const std::u16string& text, bool secure, uint16_t* port) {
  if (text.empty()) {
    *port = secure ? 443 : 80;
    return true;
  }
  if (text.size() > 5) return false;
  uint32_t value = 0;
  for (char16_t c : text) {
    if (!IsAsciiDigit(c)) return false;
    value = value * 10 + (c - u'0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// Same scheme, host (ASCII case-insensitive) and port: the key stays within one origin.
bool SameOrigin(const SplitUrl& a, const SplitUrl& b) {
  return a.scheme == b.scheme && a.port == b.port && EqualsNoCaseAscii(a.host, b.host);
}

// A key with a line break would end the Authorization header and start headers of its own.
bool IsHeaderSafe(const std::string& key) {
  for (unsigned char c : key) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// RFC 3986 section 5.2.4 on a path that begins with "/".
std::u16string RemoveDotSegments(const std::u16string& path) {
  std::vector<std::u16string> segments;
  bool trailing_slash = false;
  size_t pos = 1;
  while (pos <= path.size()) {
    size_t end = path.find(u'/', pos);
    if (end == std::u16string::npos) end = path.size();
    const std::u16string segment = path.substr(pos, end - pos);
    const bool last = end == path.size();
    if (segment == u".") {
      trailing_slash = last;
    } else if (segment == u"..") {
      if (!segments.empty()) segments.pop_back();
      trailing_slash = last;
    } else {
      segments.push_back(segment);
      trailing_slash = false;
    }
    pos = end + 1;
  }
  std::u16string out;
  for (const std::u16string& segment : segments) out += u"/" + segment;
  if (trailing_slash || out.empty()) out += u"/";
  return out;
}

struct UrlPieces {
  std::u16string scheme;     // as written
  std::u16string authority;
  std::u16string path;       // may be empty
  std::u16string query;      // with its "?", may be empty
};

bool CutUrl(const std::u16string& url, UrlPieces* out) {
  const size_t sep = url.find(u"://");
  if (sep == std::u16string::npos || sep == 0) return false;
  out->scheme = url.substr(0, sep);
  if (!EqualsNoCaseAscii(out->scheme, u"http") && !EqualsNoCaseAscii(out->scheme, u"https")) return false;
  const size_t begin = sep + 3;
  size_t end = url.find_first_of(u"/?#", begin);
  if (end == std::u16string::npos) end = url.size();
  out->authority = url.substr(begin, end - begin);
  size_t fragment = url.find(u'#', end);
  if (fragment == std::u16string::npos) fragment = url.size();
  const std::u16string rest = url.substr(end, fragment - end);
  const size_t q = rest.find(u'?');
  out->path = rest.substr(0, q);
  out->query = q == std::u16string::npos ? std::u16string() : rest.substr(q);
  return true;
}

HttpExchangeRequest MakeRequest(const SplitUrl& url, const std::string& key, const HttpFetchOptions& options) {
  HttpExchangeRequest request;
  request.secure = url.secure;
  request.host = url.host;
  request.port = url.port;
  request.object = url.path + url.extra;
  request.bearer_key = key;
  request.receive_timeout_ms = options.receive_timeout_ms;
  request.read_chunk = options.read_chunk;
  request.extra_headers = options.extra_headers;
  request.method = options.method;
  request.body = options.body;
  request.abort = options.abort;
  return request;
}

// WinHTTP ends a body that stops short of its Content-Length as if it were complete; so count it here.
// A length that is not plain digits is left to the transport.
bool MatchesContentLength(const HttpResponseHead& head, size_t received) {
  const std::string& text = head.content_length;
  if (!head.has_content_length || text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return true;
  }
  return std::stoull(text) == received;
}

}  // namespace

void SetHttpExchangeForTesting(HttpExchangeFn exchange) { g_exchange.store(exchange); }

HttpAbortScope::HttpAbortScope(const std::atomic<bool>* abort) : outer(t_api_abort) { t_api_abort = abort; }

HttpAbortScope::~HttpAbortScope() { t_api_abort = outer; }

bool SplitHttpUrl(const std::u16string& url, SplitUrl* out) {
  UrlPieces pieces;
  if (!CutUrl(url, &pieces)) return false;
  SplitUrl split;
  split.secure = EqualsNoCaseAscii(pieces.scheme, u"https");
  split.scheme = split.secure ? u"https" : u"http";
  std::u16string authority = pieces.authority;
  const size_t at = authority.rfind(u'@');
  if (at != std::u16string::npos) authority.erase(0, at + 1);  // user info is never sent
  std::u16string port_text;
  if (!authority.empty() && authority[0] == u'[') {
    const size_t close = authority.find(u']');
    if (close == std::u16string::npos) return false;
    split.host = authority.substr(0, close + 1);
    const std::u16string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != u':') return false;
      port_text = rest.substr(1);
    }
  } else {
    const size_t colon = authority.rfind(u':');
    split.host = authority.substr(0, colon);
    if (colon != std::u16string::npos) port_text = authority.substr(colon + 1);
  }
  if (split.host.empty() || split.host.size() > kMaxHostUnits) return false;
  for (char16_t c : split.host) {
    if (c <= 0x20 || c >= 0x7F || c == u'\\') return false;
  }
  if (!ParsePort(port_text, split.secure, &split.port)) return false;
  split.path = pieces.path.empty() ? std::u16string(u"/") : pieces.path;
  split.extra = pieces.query;
  if (split.path.size() > kMaxPathUnits || split.extra.size() > kMaxExtraUnits) return false;
  if (!NormalizeRequestText(&split.path) || !NormalizeRequestText(&split.extra)) return false;
  *out = std::move(split);
  return true;
}

std::u16string ResolveRedirect(const std::u16string& base, const std::u16string& location) {
  size_t first = location.find_first_not_of(u" \t");
  if (first == std::u16string::npos) return std::u16string();
  const size_t last = location.find_last_not_of(u" \t");
  const std::u16string target = location.substr(first, last - first + 1);
  UrlPieces from;
  if (!CutUrl(base, &from)) return std::u16string();

  // An absolute reference: a scheme, then ":".
  if (IsAsciiAlpha(target[0])) {
    size_t i = 1;
    while (i < target.size() && (IsAsciiAlpha(target[i]) || IsAsciiDigit(target[i]) || target[i] == u'+' ||
                                 target[i] == u'-' || target[i] == u'.')) {
      ++i;
    }
    if (i < target.size() && target[i] == u':') return target;
  }
  if (target.compare(0, 2, u"//") == 0) return from.scheme + u":" + target;

  const std::u16string origin = from.scheme + u"://" + from.authority;
  const std::u16string base_path = from.path.empty() ? std::u16string(u"/") : from.path;
  std::u16string reference = target.substr(0, target.find(u'#'));
  if (reference.empty()) return origin + base_path + from.query;
  if (reference[0] == u'?') return origin + base_path + reference;
  const size_t q = reference.find(u'?');
  const std::u16string ref_path = reference.substr(0, q);
  const std::u16string ref_query = q == std::u16string::npos ? std::u16string() : reference.substr(q);
  if (ref_path[0] == u'/') return origin + RemoveDotSegments(ref_path) + ref_query;
  const std::u16string directory = base_path.substr(0, base_path.rfind(u'/') + 1);
  return origin + RemoveDotSegments(directory + ref_path) + ref_query;
}

HttpExchangeResult HttpFetch(const std::u16string& url, const std::string& api_key, const HttpFetchOptions& options,
                             HttpResponseHead* head, const HttpHeadSink& on_head, const HttpBodySink& on_body,
                             HttpFinalHop* final_hop) {
  if (!IsHeaderSafe(api_key)) return HttpExchangeResult::NoResponse;
  for (const std::string& line : options.extra_headers) {
    if (!IsHeaderSafe(line)) return HttpExchangeResult::NoResponse;
  }
  SplitUrl current;
  if (!SplitHttpUrl(url, &current)) return HttpExchangeResult::NoResponse;
  const HttpExchangeFn injected = g_exchange.load();
  const HttpExchangeFn exchange = injected ? injected : &PlatformHttpExchange;
  std::u16string current_url = url;
  std::string key = api_key;
  const SplitUrl first = current;
  std::string linked_etag, linked_size;

  for (int hops = 0;; ++hops) {
    if (options.abort && options.abort->load()) return HttpExchangeResult::Stopped;
    enum class Next { Answer, Follow, Fail } next = Next::Answer;
    std::u16string next_url;
    SplitUrl next_split;
    const HttpHeadSink head_sink = [&](const HttpResponseHead& response) {
      // A request with a body sends it once: a redirect that would want it again is the answer itself.
      if (IsRedirectStatus(response.status) && !response.location.empty() && options.method == HttpMethod::Get) {
        next_url = ResolveRedirect(current_url, response.location);
        if (next_url.empty() || !SplitHttpUrl(next_url, &next_split)) {
          next = Next::Fail;  // WinHTTP fails a redirect it cannot follow
          return false;
        }
        if (!(current.secure && !next_split.secure && !options.follow_to_plain_http)) {
          next = hops >= options.max_redirects ? Next::Fail : Next::Follow;
          if (SameOrigin(current, first)) {  // what another host says of the file is not the hub's word
            const std::string etag = HeaderValue(response.raw_headers, "X-Linked-Etag");
            const std::string size = HeaderValue(response.raw_headers, "X-Linked-Size");
            if (!etag.empty()) linked_etag = etag;
            if (!size.empty()) linked_size = size;
          }
          return false;  // the redirect's own body is of no interest
        }
      }
      if (final_hop) *final_hop = HttpFinalHop{current_url, key, linked_etag, linked_size};
      return on_head ? on_head(response) : true;
    };
    HttpResponseHead response;
    const HttpExchangeResult result = exchange(MakeRequest(current, key, options), &response, head_sink, on_body);
    if (result == HttpExchangeResult::NoResponse || next == Next::Fail) return HttpExchangeResult::NoResponse;
    if (next == Next::Answer) {
      if (head) *head = std::move(response);
      return result;
    }
    // Another origin (a CDN, a foreign host, plain http) never sees the key, nor do later hops.
    if (!SameOrigin(current, next_split)) key.clear();
    current = std::move(next_split);
    current_url = std::move(next_url);
  }
}

std::string HttpGet(const std::u16string& url, const std::string& api_key, uint32_t* status,
                    std::u16string* next_link, bool* whole, std::string* error_code) {
  if (whole) *whole = false;
  try {
    // The hub's limit is reached: nothing goes out before it said, and the caller sees a refusal.
    if (!ApiRequestAllowed()) {
      if (status) *status = 429;
      return std::string();
    }
    std::string body;
    HttpResponseHead head;
    HttpFetchOptions options;
    options.abort = t_api_abort;
    const HttpExchangeResult result =
        HttpFetch(url, api_key, options, &head, nullptr, [&body](const char* data, size_t size) {
          if (size > kMaxApiBodyBytes - body.size()) return false;
          body.append(data, size);
          return true;
        });
    if (result == HttpExchangeResult::NoResponse) return std::string();
    NoteApiAnswer(head.status, head.raw_headers);
    if (status) *status = head.status;
    if (error_code) *error_code = HeaderValue(head.raw_headers, "X-Error-Code");
    if (whole) *whole = result == HttpExchangeResult::Complete && MatchesContentLength(head, body.size());
    if (next_link && !head.link.empty()) {
      std::u16string next = ParseNextLink(head.link);
      if (!next.empty()) *next_link = std::move(next);
    }
    return body;
  } catch (...) {
    return std::string();  // out of memory for the body: the same as no answer
  }
}

HttpRequestBody MemoryBody(const std::string& bytes) {
  auto state = std::make_shared<std::pair<std::string, size_t>>(bytes, 0);
  HttpRequestBody body;
  body.size = static_cast<int64_t>(bytes.size());
  body.read = [state](char* buffer, size_t capacity) -> int64_t {
    const size_t n = std::min(capacity, state->first.size() - state->second);
    std::copy_n(state->first.data() + state->second, n, buffer);
    state->second += n;
    return static_cast<int64_t>(n);
  };
  return body;
}

HttpSendAnswer HttpSend(const std::u16string& url, const std::string& api_key, const HttpSendOptions& options) {
  HttpSendAnswer answer;
  try {
    if (options.api && !ApiRequestAllowed()) {
      answer.paused = true;
      answer.status = 429;
      answer.result = HttpExchangeResult::Complete;
      return answer;
    }
    HttpFetchOptions fetch;
    fetch.method = options.method;
    fetch.body = options.body;
    fetch.extra_headers = options.headers;
    fetch.receive_timeout_ms = options.receive_timeout_ms;
    fetch.abort = options.abort;
    const size_t cap = options.max_answer_bytes;
    answer.result = HttpFetch(url, api_key, fetch, &answer.head, nullptr, [&answer, cap](const char* data, size_t size) {
      if (size > cap - answer.body.size()) return false;
      answer.body.append(data, size);
      return true;
    });
    if (answer.result == HttpExchangeResult::NoResponse) return answer;
    answer.status = answer.head.status;
    if (options.api) NoteApiAnswer(answer.status, answer.head.raw_headers);
    answer.whole = answer.result == HttpExchangeResult::Complete && MatchesContentLength(answer.head, answer.body.size());
  } catch (...) {
    answer = HttpSendAnswer();  // out of memory: the same as no answer
  }
  return answer;
}

bool IsHubOrigin(const std::u16string& url) { return IsOriginOf(url, HubSiteUrl()); }

bool IsOriginOf(const std::u16string& url, const std::string& site_url) {
  SplitUrl hub, other;
  return SplitHttpUrl(Utf8ToWide(site_url), &hub) && SplitHttpUrl(url, &other) && SameOrigin(hub, other);
}

std::u16string MakeApiUrl(const std::string& path) { return Utf8ToWide(HubApiUrl() + path); }

std::string UrlEncode(const std::string& text, bool keep_slash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char b : text) {
    const bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                            b == '-' || b == '.' || b == '_' || b == '~' || (keep_slash && b == '/');
    if (unreserved) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  return out;
}

std::u16string ParseNextLink(const std::u16string& link_value) {
  size_t pos = 0;
  while (pos < link_value.size()) {
    const size_t open = link_value.find(u'<', pos);
    if (open == std::u16string::npos) return std::u16string();
    const size_t close = link_value.find(u'>', open);
    if (close == std::u16string::npos) return std::u16string();
    // The comma search starts after ">", so commas inside the target do not split the entry.
    const size_t comma = link_value.find(u',', close);
    const size_t params_end = comma == std::u16string::npos ? link_value.size() : comma;
    const std::u16string params = link_value.substr(close + 1, params_end - close - 1);
    if (params.find(u"rel=\"next\"") != std::u16string::npos || params.find(u"rel=next") != std::u16string::npos) {
      return link_value.substr(open + 1, close - open - 1);
    }
    if (comma == std::u16string::npos) return std::u16string();
    pos = comma + 1;
  }
  return std::u16string();
}
