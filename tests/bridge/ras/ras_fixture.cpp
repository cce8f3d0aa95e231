#include "ras_fixture.h"

namespace rastest {

using jnihost::Host;
using jnihost::jVoid;

void RasTest::SetUp() {
  DeliverableTest::SetUp();
  if (HasFatalFailure() || !defineRasClasses) {
    return;
  }
  host.defineClass(kRasEntryName)
      .field("_entry_name", "Ljava/lang/String;")
      .field("_flags", "I")
      .field("_phonebook_path", "Ljava/lang/String;")
      .constructor("(Ljava/lang/String;ILjava/lang/String;)V", [this](Host& h, jobject self, const jvalue* args) {
        if (!refusedEntryName.empty() && h.str(args[0].l) == refusedEntryName) {
          h.throwNew("java/lang/IllegalStateException", u"refused");
          return jVoid();
        }
        ++entryNamesMade;
        h.setField(self, "_entry_name", args[0]);
        h.setField(self, "_flags", args[1]);
        h.setField(self, "_phonebook_path", args[2]);
        return jVoid();
      });
  host.defineClass(kRasConnection)
      .field("_entry_name", "Ljava/lang/String;")
      .field("_device_type", "Ljava/lang/String;")
      .field("_device_name", "Ljava/lang/String;")
      .field("_phonebook", "Ljava/lang/String;")
      .field("_sub_entry", "I")
      .constructor("(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)V",
                   [](Host& h, jobject self, const jvalue* args) {
                     h.setField(self, "_entry_name", args[0]);
                     h.setField(self, "_device_type", args[1]);
                     h.setField(self, "_device_name", args[2]);
                     h.setField(self, "_phonebook", args[3]);
                     h.setField(self, "_sub_entry", args[4]);
                     return jVoid();
                   });
  host.defineClass(kRasEntry)
      .field("_record", "[B")
      .constructor("([B)V", [](Host& h, jobject self, const jvalue* args) {
        h.setField(self, "_record", args[0]);
        return jVoid();
      });
}

RecordSizes RasTest::sizes() const {
  if (std::wstring(GetParam()) == L"fullbridge.dll") {
    return {1048, 1372, 5616};
  }
  return {1048, 1360, 4048};
}

jobjectArray RasTest::entryNames(jstring phonebookPath) {
  auto native = DELIVERABLE_NATIVE(Java_com_corvantis_windows_ras_RasSupport_getEntryNamesByPath);
  return native != nullptr ? host.call(native, jclass{nullptr}, phonebookPath) : nullptr;
}

jobjectArray RasTest::activeConnections() {
  auto native = DELIVERABLE_NATIVE(Java_com_corvantis_windows_ras_RasSupport_getActiveConnections);
  return native != nullptr ? host.call(native, jclass{nullptr}) : nullptr;
}

jobject RasTest::entryProperties(jstring phonebookPath, jstring entryName) {
  auto native = DELIVERABLE_NATIVE(Java_com_corvantis_windows_ras_RasSupport_getEntryProperties);
  return native != nullptr ? host.call(native, jclass{nullptr}, phonebookPath, entryName) : nullptr;
}

std::u16string RasTest::text(jobject object, const char* field) {
  jobject value = host.field(object, field).l;
  return value != nullptr ? host.str(value) : u"(null)";
}

}  // namespace rastest
