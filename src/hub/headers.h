// Reading the header lines of an answer as received (HttpResponseHead::raw_headers): the one reader
// below both the request chain and the rate limits.
#pragma once

#include <string>

// The value of header `name` (ASCII case-insensitive) in `raw_headers` ("Name: value" lines), blanks
// around it trimmed; repeated headers joined with ", " as one list; empty when absent.
std::string HeaderValue(const std::string& raw_headers, const std::string& name);
