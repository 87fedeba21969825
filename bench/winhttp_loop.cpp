// The bare WinHTTP baseline for the download benchmark: open, send, read into one buffer, write.
// usage: tarn_winhttp_loop HOST PORT OBJECT LOCAL_FILE
#include <windows.h>
#include <psapi.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const char* text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
  return out;
}

uint64_t PeakResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PeakWorkingSetSize;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s HOST PORT OBJECT LOCAL_FILE\n", argv[0]);
    return 2;
  }
  const uint64_t idle = PeakResidentBytes();
  const auto start = std::chrono::steady_clock::now();
  HINTERNET session = WinHttpOpen(L"tarnfs-bench/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = session ? WinHttpConnect(session, Wide(argv[1]).c_str(),
                                                  static_cast<INTERNET_PORT>(std::atoi(argv[2])), 0)
                                 : nullptr;
  HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", Wide(argv[3]).c_str(), nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                 : nullptr;
  long long bytes = -1;
  if (request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
      WinHttpReceiveResponse(request, nullptr)) {
    FILE* out = _wfopen(Wide(argv[4]).c_str(), L"wb");
    if (out) {
      std::vector<char> buffer(262144);
      DWORD got = 0;
      bytes = 0;
      while (WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got) && got > 0) {
        std::fwrite(buffer.data(), 1, got, out);
        bytes += got;
      }
      std::fclose(out);
    }
  }
  if (request) WinHttpCloseHandle(request);
  if (connection) WinHttpCloseHandle(connection);
  if (session) WinHttpCloseHandle(session);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("result=%d bytes=%lld seconds=%.3f mb_per_s=%.1f rss_growth_kib=%llu\n", bytes >= 0 ? 0 : 4, bytes,
              seconds, bytes / 1e6 / seconds,
              static_cast<unsigned long long>((PeakResidentBytes() - idle) / 1024));
  return bytes >= 0 ? 0 : 1;
}
