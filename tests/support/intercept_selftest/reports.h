// Comparing what an accounting reported with what a self-test expects.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using Violations = std::vector<std::string>;

// An address as the reports print it.
inline std::string hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%p", p);
  return buf;
}

// Each expected fragment must be found in its own violation, and nothing else
// may be reported.
inline void expectViolations(const Violations& found, const std::vector<std::string>& expected) {
  EXPECT_EQ(found.size(), expected.size()) << ::testing::PrintToString(found);
  std::vector<bool> used(found.size(), false);
  for (const std::string& fragment : expected) {
    bool matched = false;
    for (size_t i = 0; i < found.size() && !matched; ++i) {
      if (!used[i] && found[i].find(fragment) != std::string::npos) used[i] = matched = true;
    }
    EXPECT_TRUE(matched) << "no violation mentions \"" << fragment << "\" in " << ::testing::PrintToString(found);
  }
}
