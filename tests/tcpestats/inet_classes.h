// java.net.InetAddress, Inet4Address and Inet6Address in the JNI host, with the two
// members tcpestats uses: getAddress (a fresh copy of the address bytes, null when
// the object holds none) and getScopeId.
#pragma once

#include <optional>
#include <vector>

#include "jni_host.h"

namespace tcpestatstest {

constexpr const char* kInet4Address = "java/net/Inet4Address";
constexpr const char* kInet6Address = "java/net/Inet6Address";

void defineInetClasses(jnihost::Host& host);

// An address object of class cls; nullopt bytes make getAddress return null.
jobject newInetAddress(jnihost::Host& host, const char* cls, std::optional<std::vector<jbyte>> bytes, jint scopeId = 0);
// From then on, getAddress (or getScopeId) of the object throws IllegalStateException.
void makeGetAddressThrow(jnihost::Host& host, jobject address);
void makeGetScopeIdThrow(jnihost::Host& host, jobject address);

}  // namespace tcpestatstest
