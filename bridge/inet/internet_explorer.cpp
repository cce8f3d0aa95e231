// InternetExplorer native: WinInet's automatic proxy detection.
#include <com_quillstone_browser_InternetExplorer.h>

#include <cstdlib>
#include <cstring>

#include "bridge/failures.h"
#include "inet_common.h"

extern "C" JNIEXPORT jstring JNICALL Java_com_quillstone_browser_InternetExplorer_detectAutoProxyUrl(JNIEnv* env,
                                                                                                     jclass,
                                                                                                     jint bufferLength,
                                                                                                     jint detectFlags) {
  // A negative length is a size that cannot be allocated; it never reaches WinInet.
  if (bufferLength < 0) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto url = static_cast<char*>(std::malloc(static_cast<size_t>(bufferLength)));
  if (url == nullptr) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  jstring result = nullptr;
  // Failure only means that no script URL was found (or it did not fit): no exception.
  if (DetectAutoProxyUrl(url, static_cast<DWORD>(bufferLength), static_cast<DWORD>(detectFlags))) {
    // The URL counts only up to a NUL inside the buffer; nothing past its end is read.
    if (std::memchr(url, '\0', static_cast<size_t>(bufferLength)) != nullptr) {
      result = env->NewStringUTF(url);
    } else {
      throwCodedSystemException(env, bridge::kInvalidArgument);
    }
  }
  std::free(url);
  return result;
}
