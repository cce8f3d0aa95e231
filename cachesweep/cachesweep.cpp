// Empties the current user's WinInet URL cache twice: at the integrity level the
// process started with, then again after lowering the process to low integrity,
// where WinInet keeps a cache of its own.
//
//   cachesweep [/quiet] [/medium] [/low]
//
// Arguments match on their first four characters; without /medium or /low both
// walks run, the medium one first. Exit code 0 when every step that ran succeeded.
#include <windows.h>

// After windows.h, which they build on.
#include <sddl.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD kFirstDeclaredSize = 8192;
constexpr DWORD kSweepFilter = NORMAL_CACHE_ENTRY | SPARSE_CACHE_ENTRY;
constexpr const char* kLowIntegritySid = "S-1-16-4096";

static_assert(sizeof(TOKEN_MANDATORY_LABEL) == 16, "label size as SetTokenInformation expects it on x64");

struct Options {
  bool quiet = false;
  bool medium = false;
  bool low = false;
};

// Every argument, the program name included, counts when its first four
// characters match an option word; anything else is ignored.
Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 0; i < argc; ++i) {
    options.quiet = options.quiet || std::strncmp(argv[i], "/quiet", 4) == 0;
    options.medium = options.medium || std::strncmp(argv[i], "/medium", 4) == 0;
    options.low = options.low || std::strncmp(argv[i], "/low", 4) == 0;
  }
  if (!options.medium && !options.low) {
    options.medium = true;
    options.low = true;
  }
  return options;
}

using FindFirstEntryEx = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, GROUPID, LPINTERNET_CACHE_ENTRY_INFOW, LPDWORD, LPVOID,
                                         LPDWORD, LPVOID);
using DeleteEntry = BOOL(WINAPI*)(LPCWSTR);
using FindNextEntryEx = BOOL(WINAPI*)(HANDLE, LPINTERNET_CACHE_ENTRY_INFOW, LPDWORD, LPVOID, LPDWORD, LPVOID);
using FindClose = BOOL(WINAPI*)(HANDLE);

struct CacheFunctions {
  FindFirstEntryEx findFirst;
  DeleteEntry deleteEntry;
  FindNextEntryEx findNext;
  FindClose findClose;
};

template <class F>
bool resolve(HMODULE module, const char* name, F* function) {
  *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

bool resolveCacheFunctions(HMODULE wininet, CacheFunctions* f) {
  return resolve(wininet, "FindFirstUrlCacheEntryExW", &f->findFirst) &&
         resolve(wininet, "DeleteUrlCacheEntryW", &f->deleteEntry) &&
         resolve(wininet, "FindNextUrlCacheEntryExW", &f->findNext) &&
         resolve(wininet, "FindCloseUrlCache", &f->findClose);
}

// The outcome of one walk. The error is the one of the first step that failed,
// taken there, so that the clean-up after it cannot replace it.
struct Walk {
  DWORD deleted = 0;
  bool ended = false;  // WinInet reported that no entries are left
  bool failed = false;
  DWORD error = ERROR_SUCCESS;

  bool succeeded() const { return ended && !failed; }
  void fail(DWORD code) {
    if (!failed) {
      failed = true;
      error = code;
    }
  }
};

// Receives one INTERNET_CACHE_ENTRY_INFOW with its strings; the block is always
// twice the size declared to WinInet.
struct EntryBuffer {
  void* block = nullptr;
  DWORD declared = kFirstDeclaredSize;

  INTERNET_CACHE_ENTRY_INFOW* entry() const { return static_cast<INTERNET_CACHE_ENTRY_INFOW*>(block); }
};

// The declared size after WinInet asked for `needed`: that size, or twice the
// declared one when it asks for no more (a retry at the same size would get the
// same answer). 0 when the size does not fit in 32 bits.
DWORD grownDeclaredSize(DWORD declared, DWORD needed) {
  ULONGLONG next = needed > declared ? needed : ULONGLONG{declared} * 2;
  return next > MAXDWORD ? 0 : static_cast<DWORD>(next);
}

// Grows the buffer as WinInet asked. The C allocator leaves the last error as an
// earlier call set it, so a failure is reported as lack of memory, as is a size
// that cannot be declared.
bool grow(EntryBuffer* buffer, DWORD needed, Walk* walk) {
  DWORD declared = grownDeclaredSize(buffer->declared, needed);
  void* grown = declared != 0 ? std::realloc(buffer->block, SIZE_T{declared} * 2) : nullptr;
  if (grown == nullptr) {
    walk->fail(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  buffer->block = grown;
  buffer->declared = declared;
  return true;
}

bool isEndOfEnumeration(DWORD code) { return code == ERROR_NO_MORE_FILES || code == ERROR_NO_MORE_ITEMS; }

// Runs one enumeration call, find(size word), until it hands over an entry, growing
// the buffer as often as WinInet asks. False at the end of the enumeration (the
// walk then ended) or on failure.
template <class Find>
bool fetchEntry(EntryBuffer* buffer, Walk* walk, Find find) {
  for (;;) {
    DWORD size = buffer->declared;
    if (find(&size)) {
      return true;
    }
    DWORD code = GetLastError();
    if (code != ERROR_INSUFFICIENT_BUFFER) {
      if (isEndOfEnumeration(code)) {
        walk->ended = true;
      } else {
        walk->fail(code);
      }
      return false;
    }
    if (!grow(buffer, size, walk)) {
      return false;
    }
  }
}

// The first entry; null at an empty cache or on failure.
HANDLE findFirst(const CacheFunctions& f, EntryBuffer* buffer, Walk* walk) {
  HANDLE find = nullptr;
  fetchEntry(buffer, walk, [&](DWORD* size) {
    find = f.findFirst(nullptr, 0, kSweepFilter, 0, buffer->entry(), size, nullptr, nullptr, nullptr);
    return find != nullptr;
  });
  return find;
}

bool findNext(const CacheFunctions& f, HANDLE find, EntryBuffer* buffer, Walk* walk) {
  return fetchEntry(buffer, walk, [&](DWORD* size) {
    return f.findNext(find, buffer->entry(), size, nullptr, nullptr, nullptr) != FALSE;
  });
}

void deleteEntries(const CacheFunctions& f, EntryBuffer* buffer, Walk* walk) {
  HANDLE find = findFirst(f, buffer, walk);
  if (find == nullptr) {
    return;
  }
  do {
    if (f.deleteEntry(buffer->entry()->lpszSourceUrlName)) {
      ++walk->deleted;
    } else {
      // Entries that are gone or in use are skipped.
      DWORD code = GetLastError();
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_ACCESS_DENIED) {
        walk->fail(code);
        break;
      }
    }
  } while (findNext(f, find, buffer, walk));
  if (!f.findClose(find)) {
    walk->fail(GetLastError());
  }
}

// One walk over the cache with a WinInet loaded for it alone, so that after the
// integrity change the cache of the new level is the one emptied.
Walk sweep() {
  Walk walk;
  EntryBuffer buffer;
  buffer.block = std::malloc(SIZE_T{buffer.declared} * 2);
  if (buffer.block == nullptr) {
    walk.fail(ERROR_NOT_ENOUGH_MEMORY);
    return walk;
  }
  HMODULE wininet = LoadLibraryA("wininet");
  CacheFunctions functions;
  if (wininet == nullptr || !resolveCacheFunctions(wininet, &functions)) {
    walk.fail(GetLastError());
  } else {
    deleteEntries(functions, &buffer, &walk);
  }
  std::free(buffer.block);
  if (wininet != nullptr && !FreeLibrary(wininet)) {
    walk.fail(GetLastError());
  }
  return walk;
}

void report(const Walk& walk, const char* label, const Options& options) {
  if (!options.quiet) {
    std::printf("Removed %u entries from %s WinInet cache\n", static_cast<unsigned>(walk.deleted), label);
  }
  if (!walk.succeeded()) {
    std::printf("%s Integrity clearing incomplete, error code 0x%X\n", label, static_cast<unsigned>(walk.error));
  }
}

// Lowers the process token to low integrity. False with the error of the step that failed.
bool lowerIntegrity(DWORD* error) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, &token)) {
    *error = GetLastError();
    return false;
  }
  TOKEN_MANDATORY_LABEL label{};
  label.Label.Attributes = SE_GROUP_INTEGRITY;
  bool lowered = ConvertStringSidToSidA(kLowIntegritySid, &label.Label.Sid) &&
                 SetTokenInformation(token, TokenIntegrityLevel, &label,
                                     sizeof(TOKEN_MANDATORY_LABEL) + GetLengthSid(label.Label.Sid));
  if (!lowered) {
    *error = GetLastError();
  }
  if (!CloseHandle(token) && lowered) {
    *error = GetLastError();
    lowered = false;
  }
  LocalFree(label.Label.Sid);
  return lowered;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  bool succeeded = true;
  if (options.medium) {
    Walk walk = sweep();
    report(walk, "Medium", options);
    succeeded = succeeded && walk.succeeded();
  }
  if (options.low) {
    DWORD error = ERROR_SUCCESS;
    if (!lowerIntegrity(&error)) {
      std::printf("Unable to change to low integrity, error code 0x%X\n", static_cast<unsigned>(error));
      succeeded = false;
    } else {
      Walk walk = sweep();
      report(walk, "Low", options);
      succeeded = succeeded && walk.succeeded();
    }
  }
  return succeeded ? 0 : 1;
}
