#include <cstdint>
#include <string>

#include "operation.h"

namespace bench {
namespace {

// FNV-1a over UTF-16 units, strings told apart by their lengths.
struct Checksum {
  std::uint64_t value = 14695981039346656037ULL;
  void add(const std::u16string& text) {
    for (char16_t unit : text) {
      value = (value ^ unit) * 1099511628211ULL;
    }
    value = (value ^ text.size()) * 1099511628211ULL;
  }
};

}  // namespace

std::string describeStrings(const std::string& kind, const std::vector<std::u16string>& strings) {
  Checksum sum;
  for (const std::u16string& s : strings) {
    sum.add(s);
  }
  return kind + " of " + std::to_string(strings.size()) + " string(s), checksum " + std::to_string(sum.value);
}

std::string describeObject(jnihost::Host& host, jobject object) {
  if (object == nullptr) {
    return "null";
  }
  std::string kind = host.className(object);
  return describeStrings(
      kind, kind == "java/lang/String" ? std::vector<std::u16string>{host.str(object)} : host.stringElements(object));
}

}  // namespace bench
