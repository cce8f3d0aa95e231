// The classes and members natives looked up during a test program, written for
// the check against the shipped classes that runs after the whole suite.
#pragma once

#include <string>
#include <vector>

#include "jni_host.h"

namespace jnihost {

// Appends the lookups not written before by this program to the file named by the
// environment variable VELARO_LOOKUP_LOG (a Unix path, as CTest passes it), one
// line each: function, class, member, signature, declaring class, "shipped",
// "test-only class" (a test-only model inherits the member from a shipped class)
// or "test-only", and `where` (the test that made it first), separated by tabs. The
// first write of a program starts the file afresh. Nothing without the variable.
void appendLookupLog(const std::vector<Lookup>& lookups, const std::string& where);

}  // namespace jnihost
