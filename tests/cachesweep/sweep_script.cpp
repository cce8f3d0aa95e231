#include "sweep_script.h"

#include <sddl.h>

#include <sstream>

namespace sweeptest {

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

namespace {

std::wstring variable(const wchar_t* name) {
  wchar_t value[MAX_PATH * 2] = {};
  DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
  return length > 0 && length < MAX_PATH * 2 ? std::wstring(value, length) : std::wstring();
}

}  // namespace

std::string fileText(const std::wstring& path) {
  std::string text;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return text;
  }
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  CloseHandle(file);
  return text;
}

std::wstring scriptText(const std::vector<WalkScript>& walks) {
  std::wostringstream out;
  for (size_t i = 0; i < walks.size(); ++i) {
    const WalkScript& w = walks[i];
    out << L"walk " << i + 1 << L"\n";
    for (const ScriptedEntry& e : w.entries) {
      out << L"entry " << e.url << L" " << e.type << L" " << e.needed << L" " << e.deleteAnswer << L"\n";
    }
    if (w.firstFails) out << L"first-fails " << w.firstFails << L"\n";
    if (w.nextFailsAtCall) out << L"next-fails " << w.nextFailsAtCall << L" " << w.nextFails << L"\n";
    if (w.closeFails) out << L"close-fails " << w.closeFails << L"\n";
    out << L"end-code " << w.endCode << L"\n";
    if (w.spy) out << L"spy " << w.setTokenAnswer << L"\n";
    out << L"too-small " << static_cast<int>(w.tooSmall) << L"\n";
  }
  return out.str();
}

WalkScript readWalk(unsigned load) {
  WalkScript walk;
  std::istringstream in(fileText(variable(kScriptVariable)));
  unsigned current = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "walk") {
      words >> current;
    } else if (current != load) {
      continue;
    } else if (word == "entry") {
      ScriptedEntry e;
      std::string url;
      words >> url >> e.type >> e.needed >> e.deleteAnswer;
      e.url.assign(url.begin(), url.end());
      walk.entries.push_back(e);
    } else if (word == "first-fails") {
      words >> walk.firstFails;
    } else if (word == "next-fails") {
      words >> walk.nextFailsAtCall >> walk.nextFails;
    } else if (word == "close-fails") {
      words >> walk.closeFails;
    } else if (word == "end-code") {
      words >> walk.endCode;
    } else if (word == "spy") {
      walk.spy = true;
      words >> walk.setTokenAnswer;
    } else if (word == "too-small") {
      int size = 0;
      words >> size;
      walk.tooSmall = static_cast<TooSmallSize>(size);
    }
  }
  return walk;
}

void logLine(const std::string& line) {
  std::wstring path = variable(kLogVariable);
  if (path.empty()) {
    return;
  }
  HANDLE file =
      CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::string integrityLevel() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return "error " + std::to_string(GetLastError());
  }
  BYTE buffer[256];
  DWORD length = 0;
  std::string level = "error";
  if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof(buffer), &length)) {
    LPSTR text = nullptr;
    if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid, &text)) {
      level = text;
      LocalFree(text);
    }
  } else {
    level += " " + std::to_string(GetLastError());
  }
  CloseHandle(token);
  return level;
}

}  // namespace sweeptest
