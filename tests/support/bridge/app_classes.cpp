#include "app_classes.h"

namespace testsupport {
namespace {

using jnihost::Host;
using jnihost::jVoid;

void defineCodedException(Host& host, const char* name) {
  host.defineClass(name, "java/lang/RuntimeException")
      .field("_code", "I")
      .constructor("(ILjava/lang/String;)V", [](Host& h, jobject self, const jvalue* args) {
        h.setField(self, "_code", args[0]);
        h.setField(self, "detailMessage", jnihost::jObj(args[1].l));
        return jVoid();
      });
}

jvalue storeHandle(Host& h, jobject self, const jvalue* args) {
  h.setField(self, "_handle", args[0]);
  return jVoid();
}

}  // namespace

void defineCoreClasses(Host& host) {
  defineCodedException(host, kCodedSystemException);
  defineCodedException(host, kPdhException);
  host.defineClass(kWindowsHandle).field("_handle", "J").constructor("(J)V", storeHandle);
  for (const char* cls : {kAccessToken, kUserToken, kRegistryKey}) {
    host.defineClass(cls, kWindowsHandle).constructor("(J)V", storeHandle);
  }
  host.defineClass(kWindowsProcess)
      .field("_handle", "J")
      .field("_processId", "I")
      .constructor("(JI)V", [](Host& h, jobject self, const jvalue* args) {
        h.setField(self, "_handle", args[0]);
        h.setField(self, "_processId", args[1]);
        return jVoid();
      });
}

jobject newHandleObject(Host& host, const char* cls, jlong handle) {
  return host.newObject(cls, "(J)V", {jnihost::jLong(handle)});
}

}  // namespace testsupport
