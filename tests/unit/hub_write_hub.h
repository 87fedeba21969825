// A scripted hub and storage for the write path: each answer chosen by a function of the request, every
// request recorded with the body that reached it (read from its source the way a transport reads it),
// safe across the upload's connection threads. No sockets are involved.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "hub/http.h"

struct SentRequest {
  std::string method;  // "GET", "POST", "PUT"
  std::string url;     // scheme://host:port/object, the port written out
  std::string key;     // the bearer key; empty: no Authorization
  std::vector<std::string> headers;
  std::string body;        // as far as it was read
  bool body_whole = true;  // the source gave every byte it announced
};

struct ScriptedReply {
  enum class Kind { Answer, NoAnswer, Hold } kind = Kind::Answer;  // Hold: waits for the abort flag
  uint32_t status = 200;
  std::string body;
  std::string raw_headers;  // "Name: value\r\n" lines
  std::string etag;
  std::string location;
};

struct WriteHub {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<SentRequest> sent;  // in the order their bodies were read whole
  int await_puts = 0;             // over 1: each PUT waits (a while) until this many are answered at once
  int in_flight = 0;              // PUTs being answered now
  int most_in_flight = 0;
  // Under the lock, on the exchange's thread.
  std::function<ScriptedReply(const SentRequest&)> answer;
  // Called without the lock after each piece of a request body is read (`read` bytes so far).
  std::function<void(const SentRequest&, size_t read)> on_piece;
  inline static WriteHub* current = nullptr;

  WriteHub() {
    current = this;
    SetHttpExchangeForTesting(&Exchange);
  }
  ~WriteHub() { SetHttpExchangeForTesting(nullptr); }

  std::vector<SentRequest> Sent() {
    std::lock_guard<std::mutex> guard(lock);
    return sent;
  }
  // The requests whose URL contains `part`.
  std::vector<SentRequest> SentTo(const std::string& part) {
    std::vector<SentRequest> out;
    for (const SentRequest& r : Sent()) {
      if (r.url.find(part) != std::string::npos) out.push_back(r);
    }
    return out;
  }

 private:
  // Holds a PUT until `count` of them are answered at once (the bound only ever ends the wait of an
  // upload that sends them one after another, which the test then sees in most_in_flight).
  void AwaitInFlight(std::unique_lock<std::mutex>& guard, int count) {
    ++in_flight;
    most_in_flight = std::max(most_in_flight, in_flight);
    changed.notify_all();
    changed.wait_for(guard, std::chrono::seconds(10), [this, count] { return most_in_flight >= count; });
    --in_flight;
  }

  static HttpExchangeResult Exchange(const HttpExchangeRequest& request, HttpResponseHead* head,
                                     const HttpHeadSink& on_head, const HttpBodySink& on_body) {
    WriteHub& hub = *current;
    SentRequest r;
    r.method = request.method == HttpMethod::Post ? "POST" : request.method == HttpMethod::Put ? "PUT" : "GET";
    r.url = std::string(request.secure ? "https://" : "http://") + WideToUtf8(request.host) + ":" +
            std::to_string(request.port) + WideToUtf8(request.object);
    r.key = request.bearer_key;
    r.headers = request.extra_headers;
    const auto aborted = [&request] { return request.abort && request.abort->load(); };
    if (request.method != HttpMethod::Get && request.body.size > 0) {
      std::vector<char> buffer(65536);
      while (static_cast<int64_t>(r.body.size()) < request.body.size) {
        const size_t room = static_cast<size_t>(std::min<int64_t>(
            request.body.size - static_cast<int64_t>(r.body.size()), static_cast<int64_t>(buffer.size())));
        const int64_t given = aborted() ? -1 : request.body.read(buffer.data(), room);
        if (given <= 0) {
          r.body_whole = false;
          std::lock_guard<std::mutex> guard(hub.lock);
          hub.sent.push_back(r);
          return HttpExchangeResult::Stopped;
        }
        r.body.append(buffer.data(), static_cast<size_t>(given));
        if (hub.on_piece) hub.on_piece(r, r.body.size());
      }
    }
    ScriptedReply reply;
    {
      std::unique_lock<std::mutex> guard(hub.lock);
      hub.sent.push_back(r);
      if (request.method == HttpMethod::Put && hub.await_puts > 1) hub.AwaitInFlight(guard, hub.await_puts);
      reply = hub.answer ? hub.answer(r) : ScriptedReply{ScriptedReply::Kind::Answer, 404, "{}"};
    }
    if (reply.kind == ScriptedReply::Kind::NoAnswer) return HttpExchangeResult::NoResponse;
    if (reply.kind == ScriptedReply::Kind::Hold) {
      while (!aborted()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return HttpExchangeResult::Stopped;
    }
    head->status = reply.status;
    head->raw_headers = reply.raw_headers;
    head->etag = reply.etag;
    head->location = Utf8ToWide(reply.location);
    head->has_content_length = true;
    head->content_length = std::to_string(reply.body.size());
    if (on_head && !on_head(*head)) return HttpExchangeResult::Complete;
    if (!reply.body.empty() && on_body && !on_body(reply.body.data(), reply.body.size())) {
      return HttpExchangeResult::Stopped;
    }
    return HttpExchangeResult::Complete;
  }
};
