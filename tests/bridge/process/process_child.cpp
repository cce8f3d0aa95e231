// Child program that the process tests start. Its arguments are steps run in order:
//   exit N      ends with exit code N (also 259)
//   sleep MS    sleeps
//   burn MS     spins until the process has used MS milliseconds of processor time
//   cmdline     writes its command line, as Windows gave it, to standard output
//   env         writes each environment entry on a line to standard output
//   cwd         writes its current directory to standard output
//   handles     writes "in=<0|1> out=<0|1> err=<0|1>" (is the standard handle set?)
//               and its start-up flags and show mode to standard error
// Text is written as UTF-8; without an exit step the exit code is 0.
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

void write(DWORD stdHandle, const std::wstring& text) {
  HANDLE handle = GetStdHandle(stdHandle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    return;
  }
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

ULONGLONG usedProcessorMillis() {
  FILETIME creation, exit, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
  auto value = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return (value(kernel) + value(user)) / 10000;
}

std::wstring environmentLines() {
  std::wstring lines;
  LPWCH block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    lines += entry;
    lines += L'\n';
  }
  FreeEnvironmentStringsW(block);
  return lines;
}

std::wstring handleReport() {
  auto isSet = [](DWORD which) {
    HANDLE h = GetStdHandle(which);
    return (h == nullptr || h == INVALID_HANDLE_VALUE) ? L"0" : L"1";
  };
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  return std::wstring(L"in=") + isSet(STD_INPUT_HANDLE) + L" out=" + isSet(STD_OUTPUT_HANDLE) + L" err=" +
         isSet(STD_ERROR_HANDLE) + L" flags=" + std::to_wstring(startup.dwFlags) + L" show=" +
         std::to_wstring(startup.wShowWindow) + L"\n";
}

}  // namespace

int main() {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; i < count; ++i) {
    std::wstring step = argv[i];
    unsigned long value = i + 1 < count ? wcstoul(argv[i + 1], nullptr, 10) : 0;
    if (step == L"exit") {
      ExitProcess(static_cast<UINT>(value));
    } else if (step == L"sleep") {
      Sleep(value);
      ++i;
    } else if (step == L"burn") {
      for (volatile unsigned spin = 0; usedProcessorMillis() < value; ++spin) {
      }
      ++i;
    } else if (step == L"cmdline") {
      write(STD_OUTPUT_HANDLE, std::wstring(GetCommandLineW()) + L"\n");
    } else if (step == L"env") {
      write(STD_OUTPUT_HANDLE, environmentLines());
    } else if (step == L"cwd") {
      wchar_t directory[MAX_PATH];
      GetCurrentDirectoryW(MAX_PATH, directory);
      write(STD_OUTPUT_HANDLE, std::wstring(directory) + L"\n");
    } else if (step == L"handles") {
      write(STD_ERROR_HANDLE, handleReport());
    }
  }
  return 0;
}
