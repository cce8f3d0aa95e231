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

std::string describeObject(jnihost::Host& host, jobject object) {
  if (object == nullptr) {
    return "null";
  }
  Checksum sum;
  size_t count = 1;
  std::string kind = host.className(object);
  if (kind == "java/lang/String") {
    sum.add(host.str(object));
  } else {
    std::vector<std::u16string> strings = host.stringElements(object);
    for (const std::u16string& s : strings) {
      sum.add(s);
    }
    count = strings.size();
  }
  return kind + " of " + std::to_string(count) + " string(s), checksum " + std::to_string(sum.value);
}

}  // namespace bench
