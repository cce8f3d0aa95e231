#include "inet_classes.h"

namespace tcpestatstest {

using jnihost::Host;
using jnihost::jBool;
using jnihost::jInt;
using jnihost::jObj;
using jnihost::jVoid;

namespace {

jvalue getAddress(Host& h, jobject self, const jvalue*) {
  if (h.field(self, "_address_throws").z) {
    h.throwNew("java/lang/IllegalStateException", u"getAddress");
    return jVoid();
  }
  jobject stored = h.field(self, "_address").l;
  if (stored == nullptr) {
    return jObj(nullptr);
  }
  return jObj(h.newArray<jbyte>(h.arrayContents<jbyte>(static_cast<jarray>(stored))));
}

jvalue getScopeId(Host& h, jobject self, const jvalue*) {
  if (h.field(self, "_scope_throws").z) {
    h.throwNew("java/lang/IllegalStateException", u"getScopeId");
    return jVoid();
  }
  return h.field(self, "_scope_id");
}

}  // namespace

void defineInetClasses(Host& host) {
  host.defineClass("java/net/InetAddress")
      .field("_address", "[B")
      .field("_address_throws", "Z")
      .constructor("()V")
      .method("getAddress", "()[B", [](Host&, jobject, const jvalue*) { return jObj(nullptr); });
  host.defineClass(kInet4Address, "java/net/InetAddress").constructor("()V").method("getAddress", "()[B", getAddress);
  host.defineClass(kInet6Address, "java/net/InetAddress")
      .field("_scope_id", "I")
      .field("_scope_throws", "Z")
      .constructor("()V")
      .method("getAddress", "()[B", getAddress)
      .method("getScopeId", "()I", getScopeId);
}

jobject newInetAddress(Host& host, const char* cls, std::optional<std::vector<jbyte>> bytes, jint scopeId) {
  jobject address = host.newObject(cls);
  if (bytes) {
    host.setField(address, "_address", jObj(host.newArray<jbyte>(*bytes)));
  }
  if (std::string(cls) == kInet6Address) {
    host.setField(address, "_scope_id", jInt(scopeId));
  }
  return address;
}

void makeGetAddressThrow(Host& host, jobject address) { host.setField(address, "_address_throws", jBool(true)); }

void makeGetScopeIdThrow(Host& host, jobject address) { host.setField(address, "_scope_throws", jBool(true)); }

}  // namespace tcpestatstest
