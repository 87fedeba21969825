// A scripted stand-in for the platform's HTTP exchange: canned responses by URL, every request
// recorded. Installed for the life of one ScriptedHub object; no sockets are involved.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "hub/http.h"
#include "plugin/state.h"
#include "plugin/text.h"

struct ScriptedResponse {
  bool no_response = false;        // the head never arrives
  uint32_t status = 200;
  std::u16string link;
  std::u16string location;
  bool has_length = false;
  std::string content_length;
  std::vector<std::string> chunks;  // the body, piece by piece
  bool fail_after_chunks = false;   // the connection breaks after the last piece
};

struct ScriptedHub {
  static constexpr const char* kSite = "https://hub.test/";

  std::map<std::string, ScriptedResponse> responses;  // by "scheme://host:port/object"
  std::vector<HttpExchangeRequest> requests;
  std::function<void(size_t)> before_chunk;           // called with each piece's index
  std::string saved_site;

  ScriptedHub() {
    Current() = this;
    SetHttpExchangeForTesting(&Exchange);
    StateLock guard(g_state.lock);
    saved_site = g_state.hub_site_url;
    g_state.hub_site_url = kSite;
  }
  ~ScriptedHub() {
    SetHttpExchangeForTesting(nullptr);
    Current() = nullptr;
    StateLock guard(g_state.lock);
    g_state.hub_site_url = saved_site;
  }
  ScriptedHub(const ScriptedHub&) = delete;
  ScriptedHub& operator=(const ScriptedHub&) = delete;

  // A JSON (or any) body in one piece.
  ScriptedResponse& Answer(const std::string& url, const std::string& body, uint32_t status = 200) {
    ScriptedResponse& r = responses[Key(url)];
    r.status = status;
    r.chunks = {body};
    return r;
  }
  ScriptedResponse& Redirect(const std::string& url, const std::string& location, uint32_t status = 302) {
    ScriptedResponse& r = responses[Key(url)];
    r.status = status;
    r.location = Utf8ToWide(location);
    r.chunks = {"redirect body"};
    return r;
  }

  // "scheme://host/object" with the default port made explicit, as requests are recorded.
  static std::string Key(const std::string& url) {
    const size_t sep = url.find("://");
    const size_t slash = url.find_first_of("/?", sep + 3);
    std::string authority = url.substr(sep + 3, slash == std::string::npos ? std::string::npos : slash - sep - 3);
    if (authority.find(':') == std::string::npos) authority += url.compare(0, 5, "https") == 0 ? ":443" : ":80";
    const std::string object = slash == std::string::npos ? "/" : url.substr(slash);
    return url.substr(0, sep + 3) + authority + (object[0] == '?' ? "/" + object : object);
  }
  static std::string RequestUrl(const HttpExchangeRequest& r) {
    return std::string(r.secure ? "https://" : "http://") + WideToUtf8(r.host) + ":" + std::to_string(r.port) +
           WideToUtf8(r.object);
  }
  std::vector<std::string> RequestedUrls() const {
    std::vector<std::string> urls;
    for (const HttpExchangeRequest& r : requests) urls.push_back(RequestUrl(r));
    return urls;
  }

 private:
  static ScriptedHub*& Current() {
    static ScriptedHub* current = nullptr;
    return current;
  }

  static HttpExchangeResult Exchange(const HttpExchangeRequest& request, HttpResponseHead* head,
                                     const HttpHeadSink& on_head, const HttpBodySink& on_body) {
    ScriptedHub* self = Current();
    self->requests.push_back(request);
    ScriptedResponse missing;
    missing.status = 404;
    missing.chunks = {"Entry not found"};
    const auto found = self->responses.find(RequestUrl(request));
    const ScriptedResponse& r = found == self->responses.end() ? missing : found->second;
    if (r.no_response) return HttpExchangeResult::NoResponse;
    head->status = r.status;
    head->link = r.link;
    head->location = r.location;
    head->has_content_length = r.has_length;
    head->content_length = r.content_length;
    if (on_head && !on_head(*head)) return HttpExchangeResult::Complete;
    for (size_t i = 0; i < r.chunks.size(); ++i) {
      if (self->before_chunk) self->before_chunk(i);
      if (on_body && !on_body(r.chunks[i].data(), r.chunks[i].size())) return HttpExchangeResult::Stopped;
    }
    return r.fail_after_chunks ? HttpExchangeResult::BodyFailed : HttpExchangeResult::Complete;
  }
};
