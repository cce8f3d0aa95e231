// Extended statistics of single TCP connections for VistaNetworkingSupport.
// Windows failures are raised through fullbridge's throwCodedSystemException, the
// library's one import from another deliverable; everything else is plain JNI.
#include <com_quillstone_velaro_server_VistaNetworkingSupport.h>
#include <winsock2.h>
// After winsock2.h, whose types it uses.
#include <ws2tcpip.h>
// After ws2tcpip.h, without which it leaves out the IPv6 functions.
#include <iphlpapi.h>
#include <tcpestats.h>

#include "bridge/core.h"
#include "bridge/failures.h"

namespace {

static_assert(sizeof(TCP_ESTATS_REC_ROD_v0) == 72, "64-bit layout of TCP_ESTATS_REC_ROD_v0");
static_assert(sizeof(TCP_ESTATS_OBS_REC_ROD_v0) == 16, "64-bit layout of TCP_ESTATS_OBS_REC_ROD_v0");

// Raises an exception of a JDK class with a message, in a local frame of its own.
void throwWithMessage(JNIEnv* env, const char* classPath, const char* message) {
  bridge::LocalFrame frame(env, 1);
  if (!frame.pushed()) {
    return;
  }
  jclass cls = env->FindClass(classPath);
  if (cls != nullptr) {
    env->ThrowNew(cls, message);
  }
}

bool requireAddresses(JNIEnv* env, jobject local, jobject remote) {
  if (local == nullptr) {
    throwWithMessage(env, "java/lang/NullPointerException", "local address");
    return false;
  }
  if (remote == nullptr) {
    throwWithMessage(env, "java/lang/NullPointerException", "remote address");
    return false;
  }
  return true;
}

// Copies an address's bytes, in array order, into the row; an array that is null or
// not exactly `size` bytes long raises IllegalArgumentException with `message`.
bool copyAddress(JNIEnv* env, jbyteArray bytes, jsize size, void* target, const char* message) {
  if (bytes == nullptr || env->GetArrayLength(bytes) != size) {
    throwWithMessage(env, "java/lang/IllegalArgumentException", message);
    return false;
  }
  env->GetByteArrayRegion(bytes, 0, size, static_cast<jbyte*>(target));
  return !env->ExceptionCheck();
}

// getAddress of an address object; null with the exception pending when it throws.
jbyteArray addressBytes(JNIEnv* env, jobject address, jmethodID getAddress) {
  auto bytes = static_cast<jbyteArray>(env->CallObjectMethod(address, getAddress));
  return env->ExceptionCheck() ? nullptr : bytes;
}

bool readAddresses(JNIEnv* env, jobject local, jobject remote, MIB_TCPROW* row) {
  bridge::LocalFrame frame(env, 6);
  if (!frame.pushed()) {
    return false;
  }
  jclass cls = env->FindClass("java/net/Inet4Address");
  jmethodID getAddress = cls != nullptr ? env->GetMethodID(cls, "getAddress", "()[B") : nullptr;
  if (getAddress == nullptr) {
    return false;
  }
  jbyteArray localBytes = addressBytes(env, local, getAddress);
  jbyteArray remoteBytes = env->ExceptionCheck() ? nullptr : addressBytes(env, remote, getAddress);
  return !env->ExceptionCheck() &&
         copyAddress(env, localBytes, sizeof row->dwLocalAddr, &row->dwLocalAddr, "cannot map to IPv4 address") &&
         copyAddress(env, remoteBytes, sizeof row->dwRemoteAddr, &row->dwRemoteAddr, "cannot map to IPv4 address");
}

// getScopeId of an address object; check ExceptionCheck afterwards.
DWORD scopeId(JNIEnv* env, jobject address, jmethodID getScopeId) {
  return static_cast<DWORD>(env->CallIntMethod(address, getScopeId));
}

bool readAddresses(JNIEnv* env, jobject local, jobject remote, MIB_TCP6ROW* row) {
  bridge::LocalFrame frame(env, 6);
  if (!frame.pushed()) {
    return false;
  }
  jclass cls = env->FindClass("java/net/Inet6Address");
  jmethodID getAddress = cls != nullptr ? env->GetMethodID(cls, "getAddress", "()[B") : nullptr;
  jmethodID getScopeId = getAddress != nullptr ? env->GetMethodID(cls, "getScopeId", "()I") : nullptr;
  if (getScopeId == nullptr) {
    return false;
  }
  jbyteArray localBytes = addressBytes(env, local, getAddress);
  if (!env->ExceptionCheck()) {
    row->dwLocalScopeId = scopeId(env, local, getScopeId);
  }
  jbyteArray remoteBytes = env->ExceptionCheck() ? nullptr : addressBytes(env, remote, getAddress);
  if (!env->ExceptionCheck()) {
    row->dwRemoteScopeId = scopeId(env, remote, getScopeId);
  }
  return !env->ExceptionCheck() &&
         copyAddress(env, localBytes, sizeof row->LocalAddr, &row->LocalAddr,
                     "cannot map local address to IPv6 address") &&
         copyAddress(env, remoteBytes, sizeof row->RemoteAddr, &row->RemoteAddr,
                     "cannot map remote address to IPv6 address");
}

void setState(MIB_TCPROW* row, jint state) { row->dwState = static_cast<DWORD>(state); }
void setState(MIB_TCP6ROW* row, jint state) { row->State = static_cast<MIB_TCP_STATE>(state); }

// A port as the get methods take it: a host-order number whose low 16 bits go into
// the row in network byte order.
DWORD networkPort(jint port) { return htons(static_cast<u_short>(port)); }
// A port as the set methods take it: already in the row's form.
DWORD rowPort(jint port) { return static_cast<DWORD>(port); }

// A zeroed connection row filled from the Java arguments; false with an exception
// pending when the addresses cannot be read.
template <class Row>
bool fillRow(JNIEnv* env, jint state, jobject local, DWORD localPort, jobject remote, DWORD remotePort, Row* row) {
  if (!requireAddresses(env, local, remote) || !readAddresses(env, local, remote, row)) {
    return false;
  }
  setState(row, state);
  row->dwLocalPort = localPort;
  row->dwRemotePort = remotePort;
  return true;
}

// One statistics block: the elements of a Java byte array, none for a null array.
struct Block {
  jbyteArray array = nullptr;
  jbyte* elements = nullptr;
  ULONG size = 0;
  ULONG version = 0;

  PUCHAR data() const { return reinterpret_cast<PUCHAR>(elements); }
};

bool takeBlock(JNIEnv* env, jbyteArray array, jint version, Block* block) {
  block->array = array;
  block->version = static_cast<ULONG>(version);
  if (array == nullptr) {
    return true;
  }
  block->size = static_cast<ULONG>(env->GetArrayLength(array));
  block->elements = env->GetByteArrayElements(array, nullptr);
  return block->elements != nullptr;
}

void releaseBlock(JNIEnv* env, const Block& block, jint mode) {
  if (block.elements != nullptr) {
    env->ReleaseByteArrayElements(block.array, block.elements, mode);
  }
}

ULONG getStats(MIB_TCPROW* row, TCP_ESTATS_TYPE type, const Block& rw, const Block& ros, const Block& rod) {
  return GetPerTcpConnectionEStats(row, type, rw.data(), rw.version, rw.size, ros.data(), ros.version, ros.size,
                                   rod.data(), rod.version, rod.size);
}

ULONG getStats(MIB_TCP6ROW* row, TCP_ESTATS_TYPE type, const Block& rw, const Block& ros, const Block& rod) {
  return GetPerTcp6ConnectionEStats(row, type, rw.data(), rw.version, rw.size, ros.data(), ros.version, ros.size,
                                    rod.data(), rod.version, rod.size);
}

ULONG setStats(MIB_TCPROW* row, TCP_ESTATS_TYPE type, const Block& rw) {
  return SetPerTcpConnectionEStats(row, type, rw.data(), rw.version, rw.size, 0);
}

ULONG setStats(MIB_TCP6ROW* row, TCP_ESTATS_TYPE type, const Block& rw) {
  return SetPerTcp6ConnectionEStats(row, type, rw.data(), rw.version, rw.size, 0);
}

template <class Row>
void getEStats(JNIEnv* env, jint state, jobject local, jint localPort, jobject remote, jint remotePort, jint type,
               jbyteArray rw, jint rwVersion, jbyteArray ros, jint rosVersion, jbyteArray rod, jint rodVersion) {
  Row row{};
  if (!fillRow(env, state, local, networkPort(localPort), remote, networkPort(remotePort), &row)) {
    return;
  }
  Block blocks[3];
  if (takeBlock(env, rw, rwVersion, &blocks[0]) && takeBlock(env, ros, rosVersion, &blocks[1]) &&
      takeBlock(env, rod, rodVersion, &blocks[2])) {
    ULONG status = getStats(&row, static_cast<TCP_ESTATS_TYPE>(type), blocks[0], blocks[1], blocks[2]);
    if (status != NO_ERROR) {
      throwCodedSystemException(env, status);
    }
  }
  // Copied back also after a failed call: the arrays hold whatever Windows left.
  for (int i = 2; i >= 0; --i) {
    releaseBlock(env, blocks[i], 0);
  }
}

template <class Row>
void setEStats(JNIEnv* env, jint state, jobject local, jint localPort, jobject remote, jint remotePort, jint type,
               jbyteArray rw, jint rwVersion) {
  Row row{};
  if (!fillRow(env, state, local, rowPort(localPort), remote, rowPort(remotePort), &row)) {
    return;
  }
  Block block;
  if (takeBlock(env, rw, rwVersion, &block)) {
    ULONG status = setStats(&row, static_cast<TCP_ESTATS_TYPE>(type), block);
    if (status != NO_ERROR) {
      throwCodedSystemException(env, status);
    }
  }
  // The block is only read: nothing goes back to the array.
  releaseBlock(env, block, JNI_ABORT);
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL
Java_com_quillstone_velaro_server_VistaNetworkingSupport_getPerTcpConnectionEStats__ILjava_net_Inet4Address_2ILjava_net_Inet4Address_2II_3BI_3BI_3BI(
    JNIEnv* env, jclass, jint state, jobject local, jint localPort, jobject remote, jint remotePort, jint type,
    jbyteArray rw, jint rwVersion, jbyteArray ros, jint rosVersion, jbyteArray rod, jint rodVersion) {
  getEStats<MIB_TCPROW>(env, state, local, localPort, remote, remotePort, type, rw, rwVersion, ros, rosVersion, rod,
                        rodVersion);
}

JNIEXPORT void JNICALL
Java_com_quillstone_velaro_server_VistaNetworkingSupport_getPerTcpConnectionEStats__ILjava_net_Inet6Address_2ILjava_net_Inet6Address_2II_3BI_3BI_3BI(
    JNIEnv* env, jclass, jint state, jobject local, jint localPort, jobject remote, jint remotePort, jint type,
    jbyteArray rw, jint rwVersion, jbyteArray ros, jint rosVersion, jbyteArray rod, jint rodVersion) {
  getEStats<MIB_TCP6ROW>(env, state, local, localPort, remote, remotePort, type, rw, rwVersion, ros, rosVersion, rod,
                         rodVersion);
}

JNIEXPORT void JNICALL
Java_com_quillstone_velaro_server_VistaNetworkingSupport_setPerTcpConnectionEStats__ILjava_net_Inet4Address_2ILjava_net_Inet4Address_2II_3BI(
    JNIEnv* env, jclass, jint state, jobject local, jint localPort, jobject remote, jint remotePort, jint type,
    jbyteArray rw, jint rwVersion) {
  setEStats<MIB_TCPROW>(env, state, local, localPort, remote, remotePort, type, rw, rwVersion);
}

JNIEXPORT void JNICALL
Java_com_quillstone_velaro_server_VistaNetworkingSupport_setPerTcpConnectionEStats__ILjava_net_Inet6Address_2ILjava_net_Inet6Address_2II_3BI(
    JNIEnv* env, jclass, jint state, jobject local, jint localPort, jobject remote, jint remotePort, jint type,
    jbyteArray rw, jint rwVersion) {
  setEStats<MIB_TCP6ROW>(env, state, local, localPort, remote, remotePort, type, rw, rwVersion);
}

JNIEXPORT jint JNICALL
Java_com_quillstone_velaro_server_VistaNetworkingSupport_TCP_1ESTATS_1REC_1ROD_1V0_1sizeof(JNIEnv*, jclass) {
  return sizeof(TCP_ESTATS_REC_ROD_v0);
}

JNIEXPORT jint JNICALL
Java_com_quillstone_velaro_server_VistaNetworkingSupport_TCP_1ESTATS_1OBS_1REC_1ROD_1V0_1sizeof(JNIEnv*, jclass) {
  return sizeof(TCP_ESTATS_OBS_REC_ROD_v0);
}

}  // extern "C"
