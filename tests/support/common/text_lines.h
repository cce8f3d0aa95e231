// Output of child programs, as lines.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// The lines of text, without their line ends (CR LF or LF).
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    result.push_back(line);
  }
  return result;
}

}  // namespace testsupport
