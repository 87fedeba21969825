// The platform seam: the few operations that differ between Windows and POSIX. Implemented once in
// platform/win32/ and once in platform/posix/, picked at link time. Everything else is portable.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// ---- HTTP: one exchange, no redirects followed -------------------------------------------------

enum class HttpMethod { Get, Post, Put };

// A request body of a known length, produced piece by piece while it is sent (a part of a large file, a
// commit's lines), so that it is never whole in memory. `read` is called on the exchange's thread with
// room for up to `capacity` bytes and returns how many it put there: at least 1 until `size` bytes were
// given. 0 or -1 before that (the source failed, or its owner wants to stop) ends the exchange as
// Stopped: the server never receives a whole body. Its calls are the upload's progress.
struct HttpRequestBody {
  int64_t size = -1;  // -1: no body (a POST or PUT without one sends "Content-Length: 0")
  std::function<int64_t(char* buffer, size_t capacity)> read;
};

struct HttpExchangeRequest {
  HttpMethod method = HttpMethod::Get;
  bool secure = false;         // TLS exactly when the scheme is https
  std::u16string host;         // host name
  uint16_t port = 0;
  std::u16string object;       // path followed by the query ("?..."), as sent on the request line
  std::string bearer_key;      // UTF-8; empty: no Authorization header at all
  uint32_t resolve_timeout_ms = 15000;
  uint32_t connect_timeout_ms = 15000;
  uint32_t send_timeout_ms = 30000;
  uint32_t receive_timeout_ms = 30000;
  size_t read_chunk = 0;       // preferred read size per step; 0: the platform's choice
  // Whole "Name: value" lines (Range, If-Range, Content-Type), free of controls. Nothing else is sent
  // for a body: no Content-Type unless given here, no "Expect: 100-continue".
  std::vector<std::string> extra_headers;
  HttpRequestBody body;        // sent after the head, with its length announced
  // Raised by another thread to end the exchange as Stopped within about 100 ms, while the body is sent
  // as while nothing arrives (where the transport cannot look at it while it waits, PlatformHttpAbort
  // makes it). nullptr: never.
  const std::atomic<bool>* abort = nullptr;
};

struct HttpResponseHead {
  uint32_t status = 0;
  std::u16string link;            // "Link" header value, empty when absent
  bool has_content_length = false;
  std::string content_length;     // raw header text
  std::u16string location;        // "Location" header value, empty when absent
  std::string accept_ranges;      // "Accept-Ranges", "ETag" and "Content-Range" as sent; empty when absent
  std::string etag;
  std::string content_range;
  // Every header line of the response ("Name: value", CRLF-separated, without the status line) as
  // received, up to kMaxRawHeaderBytes: what the fields above leave out (rate limits, X-Linked-*).
  std::string raw_headers;
};
constexpr size_t kMaxRawHeaderBytes = 65536;

// Called once when the response head is complete; returning false skips the body.
using HttpHeadSink = std::function<bool(const HttpResponseHead&)>;
// Called for each piece of the body; returning false stops the transfer.
using HttpBodySink = std::function<bool(const char* data, size_t size)>;

enum class HttpExchangeResult {
  NoResponse,    // connect, TLS, send or receive of the head failed: nothing arrived
  Complete,      // head and whole body arrived (or the head sink declined the body)
  BodyFailed,    // head arrived, reading the body failed part-way
  Stopped,       // the body sink or the request body's source asked to stop, or the abort flag was raised
};

// One exchange with the fixed user agent "tarnfs/1.0", the system proxy configuration and no automatic
// redirects. `head` is filled as soon as the head arrives. A server may answer before it has read the
// whole request body (a refusal): that answer is the result.
HttpExchangeResult PlatformHttpExchange(const HttpExchangeRequest& request, HttpResponseHead* head,
                                        const HttpHeadSink& on_head, const HttpBodySink& on_body);

// The most connections one download opens at once here. Each is a thread of its own, and under Wine
// every thread costs about 1 MiB of resident memory whatever its stack size (Wine's own per-thread
// stack), which WinHTTP's asynchronous mode would pay as well: it runs each pending read on a pool thread.
int PlatformMaxDownloadConnections();

// Ends the exchanges in flight that carry `abort` (already raised) where the transport blocks without
// looking at the flag. Only those in flight: call it again while they have not ended.
void PlatformHttpAbort(const std::atomic<bool>* abort);

// ---- Data protection and base64 ----------------------------------------------------------------

// Protects bytes for the current user only; false when protection is unavailable.
bool PlatformProtectData(const std::string& plain, std::string* sealed);
// Reverses PlatformProtectData; false when the data belongs to another user or machine, or is damaged.
bool PlatformUnprotectData(const std::string& sealed, std::string* plain);
// Standard base64 with padding, on one line; empty on failure.
std::string PlatformBase64Encode(const std::string& bytes);
// Decodes standard base64; false on failure.
bool PlatformBase64Decode(const std::string& text, std::string* bytes);

// ---- Content hashes ------------------------------------------------------------------------------

enum class HashAlgorithm { Sha1, Sha256 };
struct PlatformHashState;  // one running hash, defined by each platform

// Starts a hash; nullptr when the platform cannot make one.
PlatformHashState* PlatformHashBegin(HashAlgorithm algorithm);
void PlatformHashUpdate(PlatformHashState* state, const void* data, size_t size);
// Frees the state and returns the digest's bytes; empty when hashing failed.
std::string PlatformHashEnd(PlatformHashState* state);
// True when the platform's SHA-256 runs on the processor's SHA instructions by itself, at least as fast
// as the module's own code for them (hub/sha256_cpu.cpp), which is then left unused.
bool PlatformSha256UsesCpu();

// ---- Files and folders --------------------------------------------------------------------------

// The user's roaming application-data folder; empty when unknown.
std::u16string PlatformRoamingFolder();
// Creates a folder and its missing parents; the result is not needed by callers.
bool PlatformCreateFolders(const std::u16string& path);
// Moves `from` over `to`, replacing it. With write_through the call returns only when the move is on
// disk (configuration and cache files); without it the move is an ordinary rename (a finished download,
// where a forced flush of gigabytes would cost more than the durability is worth).
bool PlatformReplaceFile(const std::u16string& from, const std::u16string& to, bool write_through = true);
// Sets a file's last-write time to Unix seconds; false when it cannot.
bool PlatformSetFileTime(const std::u16string& path, int64_t unix_seconds);
// A std::filesystem path for a UTF-16 path (wide on Windows, UTF-8 elsewhere). On Windows a long
// absolute path gets the "\\?\" form, so that names the host can give (up to 259 characters) still
// open once a temporary suffix is added.
std::filesystem::path PlatformFsPath(const std::u16string& path);
// The folder separator of host paths on this platform's file system.
char16_t PlatformPathSeparator();
// Where an existing file or folder is once every link on the way is followed: an absolute path without
// links, the same for every way of naming the same file. Empty when it does not exist.
std::u16string PlatformResolvedPath(const std::u16string& path);

// ---- Environment --------------------------------------------------------------------------------

// An environment variable of this process (the wide environment on Windows); empty when unset.
std::u16string PlatformEnvironment(const char* name);
// The user's home folder: $HOME, on Windows %USERPROFILE%; the account's own when the variable is
// unset; empty when unknown.
std::u16string PlatformHomeFolder();

// ---- Process facts ------------------------------------------------------------------------------

uint32_t PlatformThreadId();
uint64_t PlatformTickMs();
// Sets the calling thread's "no more files" error (Windows error 18; errno ENOENT elsewhere).
void PlatformSetNoMoreFilesError();
// Opens an address in the user's browser; failures are ignored.
void PlatformOpenUrl(const std::u16string& url);
// A reference on this module (the library holding this code), so that the host unloading it does not
// unmap code a thread of the module still runs; nullptr when none could be taken. Never call these
// from DllMain. Release gives the reference back (the last one unloads the module).
void* PlatformHoldModule();
void PlatformReleaseModule(void* module);
