#include "lookup_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "harness_scope.h"

namespace jnihost {
namespace {

struct LogState {
  bool started = false;
  std::set<Lookup> written;
};

// The file the lookups of this program go to, through Wine's Z: drive.
std::string logPath() {
  const char* unixPath = std::getenv("VELARO_LOOKUP_LOG");
  if (unixPath == nullptr || *unixPath == '\0') return std::string();
  std::string path = "Z:";
  for (const char* c = unixPath; *c != '\0'; ++c) path += *c == '/' ? '\\' : *c;
  return path;
}

}  // namespace

void appendLookupLog(const std::vector<Lookup>& lookups, const std::string& where) {
  testsupport::HarnessScope harness;
  static LogState state;
  const std::string path = logPath();
  if (path.empty()) return;
  std::FILE* file = std::fopen(path.c_str(), state.started ? "ab" : "wb");
  if (file == nullptr) {
    ADD_FAILURE() << "cannot write the lookup log " << path;
    return;
  }
  state.started = true;
  for (const Lookup& l : lookups) {
    if (!state.written.insert(l).second) continue;
    std::fprintf(file, "%s\t%s\t%s\t%s\t%s\t%s\t%s\n", l.function.c_str(), l.cls.c_str(), l.name.c_str(), l.sig.c_str(),
                 l.owner.c_str(),
                 l.ownerTestOnly ? "test-only"
                 : l.testOnly    ? "test-only class"
                                 : "shipped",
                 where.c_str());
  }
  std::fclose(file);
}

}  // namespace jnihost
