#include "process_fixture.h"

#include <iostream>

namespace processtest {

using jnihost::jObj;

std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

std::wstring childPath() { return testsupport::testProgramFolder() + L"process_child.exe"; }

std::wstring childCommand(const std::wstring& steps) { return L"\"" + childPath() + L"\" " + steps; }

Pipe::Pipe(ChildEnd childEnd) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(&read, &write, &inheritable, 0)) {
    ADD_FAILURE() << "CreatePipe failed, error " << GetLastError();
    return;
  }
  SetHandleInformation(childEnd == ChildEnd::Read ? write : read, HANDLE_FLAG_INHERIT, 0);
}

Pipe::~Pipe() {
  closeWrite();
  if (read != nullptr) CloseHandle(read);
}

void Pipe::closeWrite() {
  if (write != nullptr) CloseHandle(write);
  write = nullptr;
}

std::string Pipe::readAll() {
  closeWrite();
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  return text;
}

void ProcessTest::SetUp() {
  DeliverableTest::SetUp();
  jvmstub_reset();
  // JDK exceptions the process natives raise, beyond those the host knows.
  host.defineClass("java/lang/InterruptedException", "java/lang/Exception");
  host.defineClass("java/lang/IllegalThreadStateException", "java/lang/IllegalArgumentException");
  auto startupInfo = host.defineClass(kStartupInfo);
  struct Field {
    const char* name;
    const char* signature;
  };
  for (const Field& f :
       {Field{"desktop", "Ljava/lang/String;"}, Field{"title", "Ljava/lang/String;"}, Field{"x", "I"}, Field{"y", "I"},
        Field{"xCountChars", "I"}, Field{"yCountChars", "I"}, Field{"fillAttribute", "I"}, Field{"dwFlags", "I"},
        Field{"showWindow", "S"}, Field{"stdInput", "Lcom/corvantis/windows/WindowsHandle;"},
        Field{"stdOutput", "Lcom/corvantis/windows/WindowsHandle;"},
        Field{"stdError", "Lcom/corvantis/windows/WindowsHandle;"}}) {
    if (omittedStartupField == nullptr || std::string(omittedStartupField) != f.name) {
      startupInfo.field(f.name, f.signature);
    }
  }
  startupInfo.constructor("()V");
}

void ProcessTest::TearDown() {
  jvmstub_reset();
  DeliverableTest::TearDown();
}

jobject ProcessTest::newStartupInfo() { return host.newObject(kStartupInfo); }

jobject ProcessTest::handleObject(HANDLE handle) {
  return testsupport::newHandleObject(host, testsupport::kWindowsHandle, reinterpret_cast<jlong>(handle));
}

jobject ProcessTest::createProcess(jstring application, jstring commandLine, bool inherit, jint flags,
                                   jstring environment, jstring directory, jobject startupInfo) {
  auto create = BRIDGE_NATIVE(Java_com_quillstone_velaro_server_WindowsSystem_CreateProcess);
  if (create == nullptr) return nullptr;
  return host.call(create, jclass{nullptr}, application, commandLine, jboolean(inherit ? JNI_TRUE : JNI_FALSE), flags,
                   environment, directory, startupInfo);
}

jobject ProcessTest::startChild(const std::wstring& steps, jint flags) {
  return startReliably([&] {
    return createProcess(nullptr, host.newString(u16(childCommand(steps))), false, flags, nullptr, nullptr, nullptr);
  });
}

// Wine reports a child that dies while it is still being set up (which a loaded
// machine makes happen now and then, before the child runs any code of ours) as
// a failed CreateProcessW with ERROR_INTERNAL_ERROR. A test that is about what the
// child does, not about creation failing, starts it again rather than fail on the
// host's account; every loss is still shown, three in a row fail the test, and any
// other refusal fails it at once, so that an intermittent fault of ours shows.
jobject ProcessTest::startReliably(const std::function<jobject()>& create) {
  std::string refusals;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    jobject process = create();
    if (process != nullptr) {
      if (!refusals.empty()) {
        std::cerr << "child started after Wine lost it:" << refusals << "\n";
      }
      return process;
    }
    jint code = 0;
    std::string cls = takeException(&code);
    refusals += " " + cls + " " + std::to_string(code);
    if (cls != testsupport::kCodedSystemException || code != ERROR_INTERNAL_ERROR) {
      break;
    }
    Sleep(100);
  }
  ADD_FAILURE() << "child not started:" << refusals;
  return nullptr;
}

std::string ProcessTest::childOutput(const std::wstring& steps, jstring environment, jstring directory) {
  Pipe output(Pipe::ChildEnd::Write);
  jobject startupInfo = newStartupInfo();
  host.setField(startupInfo, "dwFlags", jnihost::jInt(STARTF_USESTDHANDLES));
  host.setField(startupInfo, "stdOutput", jObj(handleObject(output.write)));
  jobject process = startReliably([&] {
    return createProcess(nullptr, host.newString(u16(childCommand(steps))), true, 0, environment, directory,
                         startupInfo);
  });
  if (process == nullptr) {
    return {};
  }
  std::string text = output.readAll();
  EXPECT_EQ(waitFor(process), 0);
  close(process);
  return text;
}

jint ProcessTest::waitFor(jobject process) {
  auto wait = BRIDGE_NATIVE(Java_com_corvantis_process_WindowsProcess_waitFor);
  return wait != nullptr ? host.call(wait, process) : -1;
}

void ProcessTest::close(jobject process) {
  auto closeNative = BRIDGE_NATIVE(Java_com_corvantis_process_WindowsProcess_close);
  if (closeNative != nullptr) host.call(closeNative, process);
}

}  // namespace processtest
