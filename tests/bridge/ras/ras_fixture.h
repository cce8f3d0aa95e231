// Shared ground of the RAS tests: the RAS classes in the JNI host and the scripted
// phonebook, for each bridge library with the record versions it hands to RAS.
#pragma once

#include <com_corvantis_windows_ras_RasEntry.h>
#include <com_corvantis_windows_ras_RasSupport.h>

#include <string>

#include "bridge_test.h"
#include "deliverable_native.h"
#include "pending_exception.h"
#include "scripted_ras.h"

namespace rastest {

constexpr const char* kRasEntryName = "com/corvantis/windows/ras/RasEntryName";
constexpr const char* kRasConnection = "com/corvantis/windows/ras/RasConnection";
constexpr const char* kRasEntry = "com/corvantis/windows/ras/RasEntry";

class RasTest : public testsupport::DeliverableTest {
 protected:
  void SetUp() override;

  // fullbridge hands the newer RASCONNW and RASENTRYW versions to RAS.
  RecordSizes sizes() const;

  // The natives, called as the JVM calls static methods (the class is not read).
  jobjectArray entryNames(jstring phonebookPath);
  jobjectArray activeConnections();
  jobject entryProperties(jstring phonebookPath, jstring entryName);

  std::u16string text(jobject object, const char* field);

  // Set before SetUp to leave the RAS classes out of the host.
  bool defineRasClasses = true;
  // RasEntryName objects made so far, and a name whose constructor throws.
  int entryNamesMade = 0;
  std::u16string refusedEntryName;
};

}  // namespace rastest
