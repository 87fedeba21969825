// Blocking GET requests to the hub: URL splitting with the buffer limits, redirects, the Link header.
#pragma once

#include <cstdint>
#include <string>

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
// (host name over 255, path or query over 4095 UTF-16 units).
bool SplitHttpUrl(const std::u16string& url, SplitUrl* out);
// Resolves a Location value against the URL it came from.
std::u16string ResolveRedirect(const std::u16string& base, const std::u16string& location);

// GET `url` with an optional bearer key. Returns the body; `status` and `next_link` are written only
// when a response arrived (see the header comment in http.cpp for the exact rules).
std::string HttpGet(const std::u16string& url, const std::string& api_key, uint32_t* status = nullptr,
                    std::u16string* next_link = nullptr);

// HubApiUrl() + path (path in UTF-8, beginning with "/").
std::u16string MakeApiUrl(const std::string& path);
std::string UrlEncode(const std::string& text, bool keep_slash);
std::u16string ParseNextLink(const std::u16string& link_value);
