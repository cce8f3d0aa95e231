#include <com_quillstone_velaro_server_WindowsSystem.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include "bridge/failures.h"
#include "bridge/handles.h"
#include "bridge/strings.h"
#include "password.h"
#include "startup_info.h"

namespace {

// Copy of a string argument on heap; false with the exception pending when it fails.
bool copyString(JNIEnv* env, HANDLE heap, jstring string, LPWSTR* out) {
  *out = GetSzwStringCharsFromHeap(env, heap, string);
  return !env->ExceptionCheck();
}

// Windows reads an environment block up to a double NUL. The copy always ends in
// two, so a Java string that lacks its closing NUL cannot send Windows past the block.
bool copyEnvironmentBlock(JNIEnv* env, HANDLE heap, jstring block, LPWSTR* out) {
  if (!copyString(env, heap, block, out)) {
    return false;
  }
  if (*out == nullptr) {
    return true;  // the caller's environment is inherited
  }
  auto length = static_cast<SIZE_T>(env->GetStringLength(block));
  LPVOID grown = *out;
  if (!ReAllocHeapBuffer(env, heap, HEAP_ZERO_MEMORY, &grown, (length + 2) * sizeof(WCHAR))) {
    return false;
  }
  *out = static_cast<LPWSTR>(grown);
  return true;
}

// The string arguments both creation paths hand to Windows, owned by the call.
struct CreationStrings {
  LPWSTR application = nullptr;
  LPWSTR commandLine = nullptr;
  LPWSTR environment = nullptr;
  LPWSTR directory = nullptr;
};

bool copyCreationStrings(JNIEnv* env, HANDLE heap, jstring application, jstring commandLine, jstring environment,
                         jstring directory, CreationStrings* out) {
  return copyString(env, heap, application, &out->application) &&
         copyString(env, heap, commandLine, &out->commandLine) &&
         copyEnvironmentBlock(env, heap, environment, &out->environment) &&
         copyString(env, heap, directory, &out->directory);
}

void releaseCreationStrings(JNIEnv* env, HANDLE heap, const CreationStrings& strings) {
  ReleaseFromHeap(env, heap, strings.directory);
  ReleaseFromHeap(env, heap, strings.environment);
  ReleaseFromHeap(env, heap, strings.commandLine);
  ReleaseFromHeap(env, heap, strings.application);
}

// The environment always travels as UTF-16.
DWORD creationFlags(jint flags) { return static_cast<DWORD>(flags) | CREATE_UNICODE_ENVIRONMENT; }

// What a creation holds until it returns; released on one path by the caller.
struct Creation {
  STARTUPINFOW* startup = nullptr;
  CreationStrings strings;
};

jobject createProcess(JNIEnv* env, HANDLE heap, jstring application, jstring commandLine, jboolean inheritHandles,
                      jint flags, jstring environment, jstring directory, jobject startupInfo, Creation* held) {
  held->startup = bridge::readStartupInfo(env, heap, startupInfo);
  if (env->ExceptionCheck() ||
      !copyCreationStrings(env, heap, application, commandLine, environment, directory, &held->strings)) {
    return nullptr;
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(held->strings.application, held->strings.commandLine, nullptr, nullptr,
                      inheritHandles != JNI_FALSE, creationFlags(flags), held->strings.environment,
                      held->strings.directory, held->startup, &info)) {
    throwCodedSystemException(env, GetLastError());
    return nullptr;
  }
  return wrapJavaProcessAndCloseThread(env, &info);
}

struct LogonCreation {
  STARTUPINFOW* startup = nullptr;
  LPWSTR user = nullptr;
  LPWSTR domain = nullptr;
  bridge::Password password;
  CreationStrings strings;
};

jobject createProcessWithLogon(JNIEnv* env, HANDLE heap, jstring user, jstring domain, jcharArray password,
                               jint logonFlags, jstring application, jstring commandLine, jint flags,
                               jstring environment, jstring directory, jobject startupInfo, LogonCreation* held) {
  held->startup = bridge::readStartupInfo(env, heap, startupInfo);
  if (env->ExceptionCheck() || !copyString(env, heap, user, &held->user) ||
      !copyString(env, heap, domain, &held->domain) || !bridge::takePassword(env, password, &held->password)) {
    return nullptr;
  }
  if (!copyCreationStrings(env, heap, application, commandLine, environment, directory, &held->strings)) {
    return nullptr;
  }
  if (!bridge::requirePasswordNul(env, held->password)) {
    return nullptr;
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessWithLogonW(held->user, held->domain, reinterpret_cast<LPCWSTR>(held->password.chars),
                               static_cast<DWORD>(logonFlags), held->strings.application, held->strings.commandLine,
                               creationFlags(flags), held->strings.environment, held->strings.directory, held->startup,
                               &info)) {
    throwCodedSystemException(env, GetLastError());
    return nullptr;
  }
  return wrapJavaProcessAndCloseThread(env, &info);
}

// A String[] of count NUL-terminated strings; one element reference alive at a time.
jobjectArray newStringArray(JNIEnv* env, jclass stringClass, const LPWSTR* strings, int count) {
  jobjectArray array = env->NewObjectArray(count, stringClass, nullptr);
  for (int i = 0; array != nullptr && i < count; ++i) {
    jstring element = bridge::newJavaString(env, strings[i]);
    if (env->ExceptionCheck()) {
      return nullptr;
    }
    env->SetObjectArrayElement(array, i, element);
    env->DeleteLocalRef(element);
    if (env->ExceptionCheck()) {
      return nullptr;
    }
  }
  return array;
}

}  // namespace

extern "C" {

JNIEXPORT jobject JNICALL Java_com_quillstone_velaro_server_WindowsSystem_getCurrentProcess(JNIEnv* env, jclass) {
  // The pseudo-handle needs no closing, so a failed wrap loses nothing.
  return bridge::newWindowsProcess(env, GetCurrentProcess(), GetCurrentProcessId());
}

JNIEXPORT jobject JNICALL Java_com_quillstone_velaro_server_WindowsSystem_getProcessById(JNIEnv* env, jclass,
                                                                                         jint processId,
                                                                                         jint desiredAccess) {
  HANDLE process = OpenProcess(static_cast<DWORD>(desiredAccess), FALSE, static_cast<DWORD>(processId));
  if (process == nullptr) {
    throwCodedSystemException(env, GetLastError());
    return nullptr;
  }
  jobject object = bridge::newWindowsProcess(env, process, static_cast<DWORD>(processId));
  if (object == nullptr) {
    CloseHandle(process);
  }
  return object;
}

JNIEXPORT jstring JNICALL Java_com_quillstone_velaro_server_WindowsSystem_getCommandLine(JNIEnv* env, jclass) {
  return bridge::newJavaString(env, GetCommandLineW());
}

JNIEXPORT jobjectArray JNICALL
Java_com_quillstone_velaro_server_WindowsSystem_parseCommandLineArguments(JNIEnv* env, jclass, jstring commandLine) {
  if (!bridge::requireNonNull(env, commandLine)) {
    return nullptr;
  }
  jclass stringClass = env->FindClass("java/lang/String");
  if (stringClass == nullptr) {
    return nullptr;
  }
  LPWSTR copy = GetSzwStringChars(env, commandLine);
  if (copy == nullptr) {
    return nullptr;
  }
  jobjectArray array = nullptr;
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(copy, &count);
  if (arguments == nullptr) {
    throwCodedSystemException(env, GetLastError());
  } else {
    array = newStringArray(env, stringClass, arguments, count);
    LocalFree(arguments);
  }
  ReleaseSzwStringChars(env, copy);
  return env->ExceptionCheck() ? nullptr : array;
}

JNIEXPORT jint JNICALL Java_com_quillstone_velaro_server_WindowsSystem_getProcessorCount(JNIEnv*, jclass) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<jint>(info.dwNumberOfProcessors);
}

JNIEXPORT jstring JNICALL Java_com_quillstone_velaro_server_WindowsSystem_expandEnvironmentString(JNIEnv* env, jclass,
                                                                                                  jstring text) {
  // Windows would dereference a null source text.
  if (!bridge::requireNonNull(env, text)) {
    return nullptr;
  }
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  LPWSTR copy = GetSzwStringCharsFromHeap(env, heap, text);
  if (copy == nullptr) {
    return nullptr;
  }
  jstring expanded = bridge::expandToJavaString(env, heap, copy);
  ReleaseFromHeap(env, heap, copy);
  return env->ExceptionCheck() ? nullptr : expanded;
}

JNIEXPORT jobject JNICALL Java_com_quillstone_velaro_server_WindowsSystem_CreateProcess(
    JNIEnv* env, jclass, jstring applicationName, jstring commandLine, jboolean inheritHandles, jint creationFlags,
    jstring environment, jstring currentDirectory, jobject startupInfo) {
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  Creation held;
  jobject process = createProcess(env, heap, applicationName, commandLine, inheritHandles, creationFlags, environment,
                                  currentDirectory, startupInfo, &held);
  releaseCreationStrings(env, heap, held.strings);
  bridge::freeStartupInfo(env, heap, held.startup);
  return process;
}

JNIEXPORT jobject JNICALL Java_com_quillstone_velaro_server_WindowsSystem_CreateProcessWithLogon(
    JNIEnv* env, jclass, jstring userName, jstring domain, jcharArray password, jint logonFlags,
    jstring applicationName, jstring commandLine, jint creationFlags, jstring environment, jstring currentDirectory,
    jobject startupInfo) {
  HANDLE heap = bridge::processHeap(env);
  if (heap == nullptr) {
    return nullptr;
  }
  LogonCreation held;
  jobject process =
      createProcessWithLogon(env, heap, userName, domain, password, logonFlags, applicationName, commandLine,
                             creationFlags, environment, currentDirectory, startupInfo, &held);
  releaseCreationStrings(env, heap, held.strings);
  bridge::releasePassword(env, held.password);
  ReleaseFromHeap(env, heap, held.domain);
  ReleaseFromHeap(env, heap, held.user);
  bridge::freeStartupInfo(env, heap, held.startup);
  return process;
}

}  // extern "C"
