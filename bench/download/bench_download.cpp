// Download benchmark: one GET of a URL into a file, timed, in one of four ways.
//
//   velko-bench-download stub  URL PATH [WINESERVER_PID]
//       the stub's own download code (DownloadPackage) with the progress window created as in a real
//       run (CreateProgressWindow)
//   velko-bench-download stub-pinned URL PATH [WINESERVER_PID]
//       the same with the package's digest and length published (VELKO_BENCH_SHA256 and
//       VELKO_BENCH_SIZE), so that the download is checked against them
//   velko-bench-download stub-headless URL PATH [WINESERVER_PID]
//       DownloadPackage with no window, reporting to nobody: the download code
//       alone, to tell its own cost from that of the window updates
//   velko-bench-download plain URL PATH [WINESERVER_PID]
//       a plain synchronous WinHTTP GET: a loop of WinHttpReadData into a 256 KiB buffer, each chunk
//       written to the file
//
// Prints one line of "key=value" figures:
//   mode, ok, bytes, seconds, mbps (decimal megabytes, 1,000,000 bytes, per second),
//   proc_cpu_s   processor time (user+kernel) of this process during the download (GetProcessTimes)
//   ui_cpu_s     processor time of the calling thread, the UI thread in stub mode (GetThreadTimes)
//   server_cpu_s processor time of the Linux process WINESERVER_PID (its /proc/<pid>/stat, read
//                through Wine's Z: drive), or -1
//   ws_requests_download  requests the wineserver served during the download (its read() calls,
//                from /proc/<pid>/io), or -1
//   bar          1 when the progress bar exists (stub mode), 0 otherwise
//   hash_s       stub-pinned: seconds of the system's SHA-256 of the downloaded file, timed apart
//                after the download (the check's own cost); 0 otherwise
// (/proc/self cannot stand for this process: Wine's wineserver opens files for its clients.)
// Only the download itself lies between the two readings of every figure. Exit code 0 when the
// transfer was complete (stub: DownloadPackage returned true; plain: 200 and every byte written).

#include <windows.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "common/file_digest.h"
#include "common/stub_state.h"
#include "common/strings.h"
#include "net/http_request.h"
#include "net/package_download.h"
#include "ui/progress_window.h"

namespace {

constexpr DWORD kPlainBufferBytes = 256 * 1024;
constexpr double kUnixTicksPerSecond = 100.0;  // USER_HZ of Linux on x86

double FileTimeSeconds(const FILETIME& t) {
  ULARGE_INTEGER v;
  v.LowPart = t.dwLowDateTime;
  v.HighPart = t.dwHighDateTime;
  return static_cast<double>(v.QuadPart) / 1e7;
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}

double ThreadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}

// Reads /proc/<pid>/<name> of a Linux process through Wine's Z: drive into `text` (terminated);
// false when it cannot be opened (not under Wine, no such process).
bool ReadProcFile(const char* pid, const char* name, char (&text)[1024]) {
  char path[64];
  snprintf(path, sizeof(path), "Z:\\proc\\%s\\%s", pid, name);
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD total = 0;
  DWORD n = 0;
  while (total < sizeof(text) - 1 && ReadFile(file, text + total, sizeof(text) - 1 - total, &n, nullptr) && n > 0) {
    total += n;
  }
  CloseHandle(file);
  text[total] = 0;
  return true;
}

// utime+stime of a Linux process, in seconds, from /proc/<pid>/stat through Wine's Z: drive;
// -1 when it cannot be read (not under Wine, no such process).
double UnixCpuSeconds(const char* pid) {
  char text[1024];
  if (!ReadProcFile(pid, "stat", text)) return -1;
  // Fields after the command name (which may hold blanks): state is field 3, utime 14, stime 15.
  const char* p = strrchr(text, ')');
  if (!p) return -1;
  p += 2;
  unsigned long long values[13] = {};
  int field = 3;
  for (; field <= 15 && *p; ++field) {
    while (*p == ' ') ++p;
    if (field >= 14) values[field - 14] = strtoull(p, nullptr, 10);
    while (*p && *p != ' ') ++p;
  }
  if (field <= 15) return -1;
  return static_cast<double>(values[0] + values[1]) / kUnixTicksPerSecond;
}

// The read() calls the Linux process `pid` has made (syscr of /proc/<pid>/io, through Wine's Z:
// drive); -1 when it cannot be read. The wineserver reads each request of its clients with one
// read(), so for the wineserver this counts requests. (Opening the file costs a few requests
// itself, the same in every mode.)
double UnixReadCalls(const char* pid) {
  char text[1024];
  if (!ReadProcFile(pid, "io", text)) return -1;
  const char* p = strstr(text, "syscr:");
  return p ? static_cast<double>(strtoull(p + 6, nullptr, 10)) : -1;
}

struct Reading {
  LARGE_INTEGER counter;
  double process;
  double thread;
  double server;
  double serverReads;
};

Reading Read(const char* serverPid) {
  Reading r;
  r.process = ProcessCpuSeconds();
  r.thread = ThreadCpuSeconds();
  r.server = serverPid ? UnixCpuSeconds(serverPid) : -1;
  r.serverReads = serverPid ? UnixReadCalls(serverPid) : -1;
  QueryPerformanceCounter(&r.counter);  // last: the readings above stay outside the timed span
  return r;
}

Reading ReadAfter(const char* serverPid) {
  Reading r;
  QueryPerformanceCounter(&r.counter);  // first, for the same reason
  r.process = ProcessCpuSeconds();
  r.thread = ThreadCpuSeconds();
  r.server = serverPid ? UnixCpuSeconds(serverPid) : -1;
  r.serverReads = serverPid ? UnixReadCalls(serverPid) : -1;
  return r;
}

double Delta(double before, double after) { return before < 0 || after < 0 ? -1 : after - before; }

// A plain synchronous GET of `url` into `path`; returns the number of bytes written, with `ok` set
// when the status was 200 and the body was as long as its Content-Length (if any was sent).
unsigned long long PlainDownload(const wchar_t* url, const wchar_t* path, bool& ok) {
  ok = false;
  unsigned long long total = 0;
  UrlParts parts;
  if (!SplitUrl(url, parts)) return 0;
  static BYTE buffer[kPlainBufferBytes];
  HINTERNET session = WinHttpOpen(L"velko-bench-download", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = session ? WinHttpConnect(session, parts.host.c_str(), parts.port, 0) : nullptr;
  HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", parts.path.c_str(), nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                 : nullptr;
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  bool failed = !request || file == INVALID_HANDLE_VALUE;
  if (!failed) {
    failed = !WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
             !WinHttpReceiveResponse(request, nullptr);
  }
  DWORD status = 0;
  DWORD length = 0;
  bool haveLength = false;
  if (!failed) {
    DWORD size = sizeof(status);
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    size = sizeof(length);
    haveLength = WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                     WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX);
  }
  while (!failed) {
    DWORD n = 0;
    if (!WinHttpReadData(request, buffer, kPlainBufferBytes, &n)) {
      failed = true;
      break;
    }
    if (n == 0) break;
    DWORD written = 0;
    if (!WriteFile(file, buffer, n, &written, nullptr) || written != n) {
      failed = true;
      break;
    }
    total += n;
  }
  if (failed) fprintf(stderr, "plain download failed: error %lu\n", GetLastError());
  ok = !failed && status == 200 && (!haveLength || total == length);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (request) WinHttpCloseHandle(request);
  if (connection) WinHttpCloseHandle(connection);
  if (session) WinHttpCloseHandle(session);
  return total;
}

unsigned long long FileBytes(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int Usage() {
  fprintf(stderr, "usage: velko-bench-download stub|stub-pinned|stub-headless|plain URL PATH [WINESERVER_PID]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4 || argc > 5) return Usage();
  const bool headless = wcscmp(argv[1], L"stub-headless") == 0;
  const bool pinned = wcscmp(argv[1], L"stub-pinned") == 0;
  const bool stubMode = headless || pinned || wcscmp(argv[1], L"stub") == 0;
  if (!stubMode && wcscmp(argv[1], L"plain") != 0) return Usage();
  const wchar_t* url = argv[2];
  const wchar_t* path = argv[3];
  char serverPid[32] = {};
  if (argc == 5) {
    for (int i = 0; argv[4][i] && i < 31; ++i) {
      if (argv[4][i] < L'0' || argv[4][i] > L'9') return Usage();
      serverPid[i] = static_cast<char>(argv[4][i]);
    }
  }
  const char* server = serverPid[0] ? serverPid : nullptr;

  static StubState state;  // zero-filled, as in the stub
  CopyStatusText(state, L"Locating your download...");
  if (stubMode && !headless) CreateProgressWindow(state, GetModuleHandleW(nullptr));

  // stub-pinned: the package's digest and length as an information reply would publish them, from
  // VELKO_BENCH_SHA256 and VELKO_BENCH_SIZE, read by the stub's own reader.
  PackagePin pin = {};
  if (pinned) {
    char digest[80] = {};
    char size[32] = {};
    ByteString reply;
    if (!GetEnvironmentVariableA("VELKO_BENCH_SHA256", digest, sizeof(digest)) ||
        !GetEnvironmentVariableA("VELKO_BENCH_SIZE", size, sizeof(size)) || !reply.Append("<MSISHA256>") ||
        !reply.Append(digest) || !reply.Append("</MSISHA256><MSISIZE>") || !reply.Append(size) ||
        !reply.Append("</MSISIZE>") || !ReadPackagePin(reply, pin) || !pin.hasDigest || !pin.hasSize) {
      fprintf(stderr, "stub-pinned: VELKO_BENCH_SHA256 and VELKO_BENCH_SIZE must hold the package's digest and size\n");
      return 2;
    }
  }

  bool ok = false;
  unsigned long long bytes = 0;
  WideString failure;
  const Reading before = Read(server);
  if (stubMode) {
    HANDLE package = INVALID_HANDLE_VALUE;
    DeleteFileW(path);  // the download makes a new file
    // Headless: the stages report to nobody.
    const ProgressReport report = headless ? ProgressReport{} : ReportToWindow(state);
    ok = DownloadPackage(report, url, pin, path, failure, package);
    if (package != INVALID_HANDLE_VALUE) CloseHandle(package);
  } else {
    bytes = PlainDownload(url, path, ok);
  }
  const Reading after = ReadAfter(server);
  if (stubMode) bytes = FileBytes(path);  // the package file is closed when DownloadPackage returns

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const double seconds =
      static_cast<double>(after.counter.QuadPart - before.counter.QuadPart) / static_cast<double>(frequency.QuadPart);
  // The check's own cost: the system's SHA-256 of the downloaded file once more, timed alone.
  double hashSeconds = 0;
  if (pinned && ok) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
    uint8_t digest[kSha256Bytes];
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    const bool hashed = file != INVALID_HANDLE_VALUE && FileSha256(file, digest);
    QueryPerformanceCounter(&end);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (hashed) {
      hashSeconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    }
  }
  printf("mode=%s ok=%d bytes=%llu seconds=%.3f mbps=%.1f proc_cpu_s=%.3f ui_cpu_s=%.3f "
         "server_cpu_s=%.2f ws_requests_download=%.0f bar=%d hash_s=%.3f\n",
         headless ? "stub-headless" : pinned ? "stub-pinned" : stubMode ? "stub" : "plain", ok ? 1 : 0, bytes, seconds, seconds > 0 ? bytes / seconds / 1e6 : 0.0,
         after.process - before.process, after.thread - before.thread,
         Delta(before.server, after.server), Delta(before.serverReads, after.serverReads),
         state.progressBar ? 1 : 0, hashSeconds);
  if (!ok) fwprintf(stderr, L"%ls\n", failure.c_str());
  fflush(stdout);
  if (state.mainWindow) DestroyWindow(state.mainWindow);
  return ok ? 0 : 1;
}
