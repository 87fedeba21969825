// A scripted stand-in for the platform's HTTP exchange: canned responses by URL, every request
// recorded. Installed for the life of one ScriptedHub object; no sockets are involved.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "hub/http.h"
#include "core/state.h"
#include "core/text.h"

struct ScriptedResponse {
  HttpResponseHead head;
  std::vector<std::string> chunks;  // the body, piece by piece
};

// The hub site is https://hub.test/ meanwhile. Responses are keyed by "scheme://host:port/object"
// with the port written out; an unscripted URL answers 404 "Entry not found".
struct ScriptedHub {
  std::map<std::string, ScriptedResponse> responses;
  std::vector<HttpExchangeRequest> requests;
  std::string saved_site;
  inline static ScriptedHub* current = nullptr;

  ScriptedHub() {
    current = this;
    SetHttpExchangeForTesting(&Exchange);
    StateLock guard(g_state.lock);
    saved_site = std::exchange(g_state.hub_site_url, "https://hub.test/");
  }
  ~ScriptedHub() {
    SetHttpExchangeForTesting(nullptr);
    StateLock guard(g_state.lock);
    g_state.hub_site_url = saved_site;
  }
  ScriptedResponse& Answer(const std::string& url, const std::string& body, uint32_t status = 200,
                           const std::string& location = "") {
    ScriptedResponse& r = responses[url];
    r.head.status = status;
    r.head.location = Utf8ToWide(location);
    r.chunks = {body};
    return r;
  }

 private:
  static HttpExchangeResult Exchange(const HttpExchangeRequest& request, HttpResponseHead* head,
                                     const HttpHeadSink& on_head, const HttpBodySink& on_body) {
    current->requests.push_back(request);
    const auto found = current->responses.find(std::string(request.secure ? "https://" : "http://") +
                                               WideToUtf8(request.host) + ":" + std::to_string(request.port) +
                                               WideToUtf8(request.object));
    const ScriptedResponse r =
        found != current->responses.end() ? found->second : ScriptedResponse{{404}, {"Entry not found"}};
    *head = r.head;
    if (on_head && !on_head(*head)) return HttpExchangeResult::Complete;
    for (const std::string& chunk : r.chunks) {
      if (on_body && !on_body(chunk.data(), chunk.size())) return HttpExchangeResult::Stopped;
    }
    return HttpExchangeResult::Complete;
  }
};
