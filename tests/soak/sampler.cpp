// soak_sampler: reads, from outside, what Windows shows of another process: its
// handle count and its private bytes, every few seconds until the process ends.
//
//   soak_sampler --pid-file FILE --out CSV --interval-ms N
//
// The process id comes from the file (the driver writes it once it runs; 0 there means
// it never will). Each row is
// the wall-clock time in milliseconds since 1970, the handle count and the private
// bytes. Where Windows' own figure is missing (Wine answers 0 for both), the same
// quantity is counted another way and the first line of output says so.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
  std::string pidFile;
  std::string out;
  DWORD intervalMs = 5000;
};

// SystemExtendedHandleInformation (64): one entry per open handle of every process.
struct HandleEntry {
  PVOID object;
  ULONG_PTR processId;
  ULONG_PTR handle;
  ULONG access;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

using QuerySystemInformation = NTSTATUS(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// The process's entries in the system's handle table; -1 when it cannot be read.
long long handlesInSystemTable(DWORD pid, std::vector<unsigned char>& buffer) {
  const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  NTSTATUS status = 0;
  for (;;) {
    ULONG needed = 0;
    status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status != kInfoLengthMismatch) break;
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return -1;
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  long long count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i) {
    if (table->entries[i].processId == pid) ++count;
  }
  return count;
}

// Committed private memory, region by region: what private bytes count.
long long committedPrivateBytes(HANDLE process) {
  long long total = 0;
  MEMORY_BASIC_INFORMATION region{};
  const char* address = nullptr;
  while (VirtualQueryEx(process, address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += static_cast<long long>(region.RegionSize);
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return total;
}

// Wall-clock milliseconds since 1970: the driver's and the sampler's samples meet on it.
long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

DWORD waitForPid(const std::string& file) {
  for (int i = 0; i < 1200; ++i) {
    if (FILE* f = std::fopen(file.c_str(), "r")) {
      unsigned long pid = 0;
      const bool read = std::fscanf(f, "%lu", &pid) == 1;
      std::fclose(f);
      if (read) return static_cast<DWORD>(pid);  // 0: the driver never ran
    }
    Sleep(100);
  }
  return 0;
}

bool parse(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--pid-file") {
      options->pidFile = argv[i + 1];
    } else if (arg == "--out") {
      options->out = argv[i + 1];
    } else if (arg == "--interval-ms") {
      options->intervalMs = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
    } else {
      return false;
    }
  }
  return !options->pidFile.empty() && !options->out.empty() && options->intervalMs > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, &options)) {
    std::fprintf(stderr, "usage: soak_sampler --pid-file FILE --out CSV --interval-ms N\n");
    return 2;
  }
  const DWORD pid = waitForPid(options.pidFile);
  if (pid == 0) {
    std::fprintf(stderr, "sampler: no process id in %s\n", options.pidFile.c_str());
    return 1;
  }
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) {
    std::fprintf(stderr, "sampler: cannot open process %lu, error %lu\n", pid, GetLastError());
    return 1;
  }
  FILE* out = std::fopen(options.out.c_str(), "w");
  if (out == nullptr) {
    std::fprintf(stderr, "sampler: cannot write %s\n", options.out.c_str());
    return 1;
  }
  std::fprintf(out, "time_ms,handles,private_bytes\n");
  std::vector<unsigned char> table(1 << 20);
  bool told = false;
  do {
    DWORD handles = 0;
    long long handleCount = GetProcessHandleCount(process, &handles) ? static_cast<long long>(handles) : -1;
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    long long privateBytes = GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                                  sizeof memory)
                                 ? static_cast<long long>(memory.PrivateUsage)
                                 : -1;
    // A running process always holds handles and private memory: 0 means not counted.
    const bool ownHandles = handleCount > 0;
    const bool ownPrivate = privateBytes > 0;
    if (!ownHandles) handleCount = handlesInSystemTable(pid, table);
    if (!ownPrivate) privateBytes = committedPrivateBytes(process);
    if (!told) {
      std::printf("sampler: handles from %s, private bytes from %s\n",
                  ownHandles ? "GetProcessHandleCount" : "the system handle table (GetProcessHandleCount answers 0)",
                  ownPrivate ? "GetProcessMemoryInfo"
                             : "committed private regions (GetProcessMemoryInfo's PrivateUsage is 0)");
      std::fflush(stdout);
      told = true;
    }
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) break;  // figures of a process on its way out
    std::fprintf(out, "%lld,%lld,%lld\n", nowMs(), handleCount, privateBytes);
    std::fflush(out);
  } while (WaitForSingleObject(process, options.intervalMs) == WAIT_TIMEOUT);
  std::fclose(out);
  CloseHandle(process);
  return 0;
}
