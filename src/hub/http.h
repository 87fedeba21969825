// Blocking GET requests to the hub: URL splitting with the buffer limits, redirects, the Link header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct SplitUrl {
  bool secure = false;
  std::u16string scheme;   // "http" or "https"
  std::u16string host;
  uint16_t port = 0;
  std::u16string path;     // begins with "/"
  std::u16string extra;    // query including its "?", may be empty
};

// Splits an absolute http(s) URL; false when it cannot be split or a part exceeds its limit
// (host name over 255, path or query over 4095 UTF-16 units). User info and a fragment are dropped;
// spaces and non-ASCII characters of path and query are percent-encoded as UTF-8; control characters
// anywhere make the URL unsplittable.
bool SplitHttpUrl(const std::u16string& url, SplitUrl* out);
// Resolves a Location value against the URL it came from; empty when `base` is not an http(s) URL or
// the location is empty.
std::u16string ResolveRedirect(const std::u16string& base, const std::u16string& location);

// An API body larger than this is cut off and reported as not whole. The largest real listing page
// (a thousand tree items with their last commits) is well under 2 MiB; a body beyond the cap can only
// come from a broken or hostile hub, and parsing it would cost several times its size.
constexpr size_t kMaxApiBodyBytes = 16u << 20;

// GET `url` with an optional bearer key. Returns the body; `status` and `next_link` are written only
// when a response arrived (see the header comment in http.cpp for the exact rules). `whole` tells
// whether the body arrived complete and within kMaxApiBodyBytes.
// `error_code`, when given, receives the answer's X-Error-Code (empty when it has none).
std::string HttpGet(const std::u16string& url, const std::string& api_key, uint32_t* status = nullptr,
                    std::u16string* next_link = nullptr, bool* whole = nullptr, std::string* error_code = nullptr);
// While one lives, the HttpGet requests of its thread carry `abort` (see HttpExchangeRequest::abort):
// a download asks for a fresh listing under one, so that the host's cancel also ends the listing's
// pages without an abort flag passed through every operation between them.
struct HttpAbortScope {
  explicit HttpAbortScope(const std::atomic<bool>* abort);
  ~HttpAbortScope();
  HttpAbortScope(const HttpAbortScope&) = delete;
  HttpAbortScope& operator=(const HttpAbortScope&) = delete;
  const std::atomic<bool>* outer;
};
// True when `url` has the scheme, host and port of the configured hub root: the only place the key
// is sent to.
bool IsHubOrigin(const std::u16string& url);
// The same against a hub root given by the caller (a thread that reads nothing from PluginState).
bool IsOriginOf(const std::u16string& url, const std::string& site_url);

// HubApiUrl() + path (path in UTF-8, beginning with "/").
std::u16string MakeApiUrl(const std::string& path);
std::string UrlEncode(const std::string& text, bool keep_slash);
std::u16string ParseNextLink(const std::u16string& link_value);

// ---- The request chain shared by HttpGet and DownloadFile ---------------------------------------

struct HttpFetchOptions {
  uint32_t receive_timeout_ms = 30000;
  bool follow_to_plain_http = false;  // false: an https -> http redirect is the answer itself
  int max_redirects = 10;             // one more redirect than this: no response
  size_t read_chunk = 0;              // see HttpExchangeRequest::read_chunk
  std::vector<std::string> extra_headers;  // "Name: value" lines sent on every hop; no control characters
  const std::atomic<bool>* abort = nullptr;  // see HttpExchangeRequest::abort; no hop starts once raised
  // Anything but a GET is sent once, never redirected: a redirect is then the answer itself.
  HttpMethod method = HttpMethod::Get;
  HttpRequestBody body;
};

// Where a fetch ended: the final URL, and the key as it went there (empty once a hop left the origin).
struct HttpFinalHop {
  std::u16string url;
  std::string api_key;
  // "X-Linked-Etag" and "X-Linked-Size" of the last redirect still on the first URL's origin: the hub's
  // own word on the file it sends elsewhere (a storage host's ETag is a hash of its own). Empty: none.
  std::string linked_etag;
  std::string linked_size;
};

// GET `url`, following redirects. The key travels only while every hop stays on the origin of `url`.
// `on_head` and `on_body` see the final response only; `head` receives its head. NoResponse when no
// final response arrived (transport failure, too many redirects, an unusable Location). `final_hop`,
// when given, is written as soon as the final response's head is known, before `on_head` runs.
HttpExchangeResult HttpFetch(const std::u16string& url, const std::string& api_key, const HttpFetchOptions& options,
                             HttpResponseHead* head, const HttpHeadSink& on_head, const HttpBodySink& on_body,
                             HttpFinalHop* final_hop = nullptr);

// ---- Requests with a body: the write path ---------------------------------------------------------

struct HttpSendOptions {
  HttpMethod method = HttpMethod::Post;
  std::vector<std::string> headers;  // "Name: value" lines (Content-Type, Accept); no control characters
  HttpRequestBody body;
  // An /api/ request: it counts against the hub's API limit like a listing's (refused unsent while that
  // pauses requests, its rate-limit headers noted).
  bool api = false;
  uint32_t receive_timeout_ms = 30000;
  const std::atomic<bool>* abort = nullptr;  // see HttpExchangeRequest::abort
  size_t max_answer_bytes = kMaxApiBodyBytes;
};

struct HttpSendAnswer {
  HttpExchangeResult result = HttpExchangeResult::NoResponse;
  uint32_t status = 0;      // 0: no answer
  HttpResponseHead head;
  std::string body;         // as far as it arrived, up to max_answer_bytes
  bool whole = false;       // the body arrived whole and within max_answer_bytes
  bool paused = false;      // not sent: the hub's API limit pauses requests (status 429)
};

// A body of bytes in memory (a JSON request), read from a copy of its own.
HttpRequestBody MemoryBody(const std::string& bytes);
// One request to `url`, sent once: a redirect is the answer. The key goes exactly where `url` is (the
// caller gives none for storage addresses).
HttpSendAnswer HttpSend(const std::u16string& url, const std::string& api_key, const HttpSendOptions& options);

// Tests replace the platform's single exchange; nullptr restores it.
using HttpExchangeFn = HttpExchangeResult (*)(const HttpExchangeRequest&, HttpResponseHead*, const HttpHeadSink&,
                                              const HttpBodySink&);
void SetHttpExchangeForTesting(HttpExchangeFn exchange);

