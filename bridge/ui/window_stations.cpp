// Window stations and desktops: opening, creating, enumerating, switching and
// closing them, their user-object information and their access lists.
#include <com_corvantis_windows_ui_AbstractUserInterfaceContainerObject.h>
#include <com_corvantis_windows_ui_Desktop.h>
#include <com_corvantis_windows_ui_WindowStation.h>
#include <com_corvantis_windows_ui_WindowsUISupport.h>

// After windows.h (through the headers above), whose types they use.
#include <aclapi.h>

#include <cstdio>

#include "bridge/failures.h"
#include "bridge/handles.h"
#include "bridge/strings.h"

namespace {

using bridge::getHandleField;
using bridge::LocalFrame;

constexpr const char* kDesktopClass = "com/corvantis/windows/ui/Desktop";
constexpr const char* kWindowStationClass = "com/corvantis/windows/ui/WindowStation";
constexpr DWORD kFirstInformationBytes = 128;

// New Desktop or WindowStation made with "(JLjava/lang/String;)V"; null with the
// exception pending when it cannot be made. The handle is left to the caller.
jobject newContainerObject(JNIEnv* env, const char* classPath, HANDLE handle, jstring name) {
  LocalFrame frame(env, 3);
  if (!frame.pushed()) {
    return nullptr;
  }
  jclass cls = env->FindClass(classPath);
  jmethodID constructor = cls != nullptr ? env->GetMethodID(cls, "<init>", "(JLjava/lang/String;)V") : nullptr;
  jobject object =
      constructor != nullptr ? env->NewObject(cls, constructor, reinterpret_cast<jlong>(handle), name) : nullptr;
  return frame.pop(object);
}

// Wraps a handle that the caller owns; when the object cannot be made the handle
// is closed, so it never outlives a failed wrap.
template <class Handle>
jobject wrapOwnedHandle(JNIEnv* env, const char* classPath, Handle handle, jstring name, BOOL(WINAPI* close)(Handle)) {
  jobject object = newContainerObject(env, classPath, handle, name);
  if (object == nullptr) {
    close(handle);
  }
  return object;
}

// Wraps the handle an opener has just returned; a null handle is Windows' refusal.
// close is null for the handles that belong to Windows (the thread's desktop, the
// process's window station), which are never closed here.
template <class Handle>
jobject wrapOpened(JNIEnv* env, const char* classPath, Handle handle, jstring name, BOOL(WINAPI* close)(Handle)) {
  if (handle == nullptr) {
    throwCodedSystemException(env, GetLastError());
    return nullptr;
  }
  return close != nullptr ? wrapOwnedHandle(env, classPath, handle, name, close)
                          : newContainerObject(env, classPath, handle, name);
}

// Opens by name: open gets the name's copy (null for a null name) and returns the
// handle, which is wrapped under the caller's own name string.
template <class Handle, class Open>
jobject openNamed(JNIEnv* env, const char* classPath, jstring name, Open open, BOOL(WINAPI* close)(Handle)) {
  LPWSTR nameCopy = GetSzwStringChars(env, name);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  jobject result = wrapOpened(env, classPath, open(nameCopy), name, close);
  ReleaseSzwStringChars(env, nameCopy);
  return result;
}

// The receiver's handle; check ExceptionCheck afterwards.
template <class Handle>
Handle handleOf(JNIEnv* env, jobject self) {
  return reinterpret_cast<Handle>(getHandleField(env, self));
}

struct NameListContext {
  JNIEnv* env;
  jobject list;
  jmethodID add;
};

BOOL CALLBACK collectNameCallback(LPWSTR name, LPARAM context) {
  auto* names = reinterpret_cast<NameListContext*>(context);
  JNIEnv* env = names->env;
  jstring text = bridge::newJavaString(env, name);
  if (env->ExceptionCheck()) {
    return FALSE;
  }
  env->CallBooleanMethod(names->list, names->add, text);
  env->DeleteLocalRef(text);
  return env->ExceptionCheck() ? FALSE : TRUE;
}

// A new ArrayList filled by enumerate(callback, context). The list is returned
// also when the enumeration failed; the pending exception tells.
template <class Enumerate>
jobject listNames(JNIEnv* env, Enumerate enumerate) {
  LocalFrame frame(env, 3);
  if (!frame.pushed()) {
    return nullptr;
  }
  jclass cls = env->FindClass("java/util/ArrayList");
  jmethodID constructor = cls != nullptr ? env->GetMethodID(cls, "<init>", "()V") : nullptr;
  jmethodID add = constructor != nullptr ? env->GetMethodID(cls, "add", "(Ljava/lang/Object;)Z") : nullptr;
  jobject list = add != nullptr ? env->NewObject(cls, constructor) : nullptr;
  if (list == nullptr) {
    return frame.pop(nullptr);
  }
  NameListContext context{env, list, add};
  BOOL completed = enumerate(collectNameCallback, reinterpret_cast<LPARAM>(&context));
  DWORD code = GetLastError();
  // A callback stopped by a Java exception leaves that exception to report.
  if (!completed && !env->ExceptionCheck()) {
    throwCodedSystemException(env, code);
  }
  return frame.pop(list);
}

// Closes the receiver's handle; 0 is left alone. The field keeps its value.
template <class Handle>
void closeContainer(JNIEnv* env, jobject self, BOOL(WINAPI* close)(Handle)) {
  auto handle = handleOf<Handle>(env, self);
  if (handle == nullptr || env->ExceptionCheck()) {
    return;
  }
  if (!close(handle)) {
    throwCodedSystemException(env, GetLastError());
  }
}

void actOnDesktop(JNIEnv* env, jobject self, BOOL(WINAPI* act)(HDESK)) {
  auto desktop = handleOf<HDESK>(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  if (!act(desktop)) {
    throwCodedSystemException(env, GetLastError());
  }
}

}  // namespace

extern "C" {

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_ui_WindowsUISupport_openInputDesktop(JNIEnv* env, jclass,
                                                                                          jint flags, jboolean inherit,
                                                                                          jint desiredAccess) {
  HDESK desktop = OpenInputDesktop(static_cast<DWORD>(flags), inherit, static_cast<ACCESS_MASK>(desiredAccess));
  return wrapOpened(env, kDesktopClass, desktop, nullptr, CloseDesktop);
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_ui_WindowsUISupport_getCurrentThreadDesktop(JNIEnv* env, jclass) {
  HDESK desktop = GetThreadDesktop(GetCurrentThreadId());
  return wrapOpened<HDESK>(env, kDesktopClass, desktop, nullptr, nullptr);
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_ui_WindowsUISupport_createDesktop(JNIEnv* env, jclass,
                                                                                       jstring name, jint flags,
                                                                                       jint desiredAccess) {
  return openNamed(
      env, kDesktopClass, name,
      [=](LPCWSTR nameCopy) {
        // Flushed so that the line is out before Windows is asked, whatever happens next.
        wprintf(L"Creating new desktop: %ls", nameCopy != nullptr ? nameCopy : L"(null)");
        fflush(stdout);
        return CreateDesktopW(nameCopy, nullptr, nullptr, static_cast<DWORD>(flags),
                              static_cast<ACCESS_MASK>(desiredAccess), nullptr);
      },
      CloseDesktop);
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_ui_WindowsUISupport_getProcessWindowStation(JNIEnv* env, jclass) {
  HWINSTA station = GetProcessWindowStation();
  return wrapOpened<HWINSTA>(env, kWindowStationClass, station, nullptr, nullptr);
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_ui_WindowsUISupport_getWindowStations(JNIEnv* env, jclass) {
  return listNames(env,
                   [](WINSTAENUMPROCW callback, LPARAM context) { return EnumWindowStationsW(callback, context); });
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_ui_WindowsUISupport_openWindowStation(JNIEnv* env, jclass,
                                                                                           jstring name,
                                                                                           jboolean inherit,
                                                                                           jint desiredAccess) {
  return openNamed(
      env, kWindowStationClass, name,
      [=](LPCWSTR nameCopy) { return OpenWindowStationW(nameCopy, inherit, static_cast<ACCESS_MASK>(desiredAccess)); },
      CloseWindowStation);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_ui_Desktop_close(JNIEnv* env, jobject self) {
  closeContainer(env, self, CloseDesktop);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_ui_Desktop_switchDesktop(JNIEnv* env, jobject self) {
  actOnDesktop(env, self, SwitchDesktop);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_ui_Desktop_setThreadDesktop(JNIEnv* env, jobject self) {
  actOnDesktop(env, self, SetThreadDesktop);
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_ui_WindowStation_close(JNIEnv* env, jobject self) {
  closeContainer(env, self, CloseWindowStation);
}

JNIEXPORT jobject JNICALL Java_com_corvantis_windows_ui_WindowStation_getDesktops(JNIEnv* env, jobject self) {
  auto station = handleOf<HWINSTA>(env, self);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  return listNames(
      env, [station](DESKTOPENUMPROCW callback, LPARAM context) { return EnumDesktopsW(station, callback, context); });
}

JNIEXPORT jbyteArray JNICALL Java_com_corvantis_windows_ui_AbstractUserInterfaceContainerObject_getUserInformation(
    JNIEnv* env, jobject self, jint index) {
  auto object = handleOf<HANDLE>(env, self);
  if (env->ExceptionCheck()) {
    return nullptr;
  }
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  DWORD size = kFirstInformationBytes;
  LPVOID buffer = HeapAlloc(heap, HEAP_ZERO_MEMORY, size);
  if (buffer == nullptr) {
    throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  DWORD needed = 0;
  while (!GetUserObjectInformationW(object, index, buffer, size, &needed)) {
    DWORD code = GetLastError();
    // "Too small" asking for no more than was offered gets twice the room; any
    // other failure that asks for no more is the answer.
    if (needed <= size && code != ERROR_INSUFFICIENT_BUFFER) {
      throwCodedSystemException(env, code);
      ReleaseFromHeap(env, heap, buffer);
      return nullptr;
    }
    needed = bridge::grownSize(size, needed);
    LPVOID larger = needed != 0 ? HeapAlloc(heap, HEAP_ZERO_MEMORY, needed) : nullptr;
    if (larger == nullptr) {
      throwCodedSystemException(env, ERROR_NOT_ENOUGH_MEMORY);
      ReleaseFromHeap(env, heap, buffer);
      return nullptr;
    }
    ReleaseFromHeap(env, heap, buffer);
    buffer = larger;
    size = needed;
  }
  // Never more than the buffer holds, whatever size Windows reports.
  jsize length = static_cast<jsize>(needed < size ? needed : size);
  jbyteArray bytes = env->NewByteArray(length);
  if (bytes != nullptr) {
    env->SetByteArrayRegion(bytes, 0, length, static_cast<const jbyte*>(buffer));
  }
  ReleaseFromHeap(env, heap, buffer);
  return env->ExceptionCheck() ? nullptr : bytes;
}

JNIEXPORT void JNICALL Java_com_corvantis_windows_ui_AbstractUserInterfaceContainerObject_clearDacl(JNIEnv* env,
                                                                                                    jobject self) {
  auto object = handleOf<HANDLE>(env, self);
  if (env->ExceptionCheck()) {
    return;
  }
  // A null DACL: no access restrictions at all.
  DWORD answer =
      SetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr);
  if (answer != ERROR_SUCCESS) {
    throwCodedSystemException(env, answer);
  }
}

}  // extern "C"
