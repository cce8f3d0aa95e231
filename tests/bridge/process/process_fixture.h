// Shared ground of the process tests: the natives of both bridge libraries, the
// StartupInfo class in the JNI host, and the test child program.
#pragma once

#include <com_corvantis_process_WindowsProcess.h>
#include <com_quillstone_velaro_server_WindowsSystem.h>

#include <functional>
#include <string>
#include <vector>

#include "bridge_test.h"
#include "jvmstub.h"
#include "text_lines.h"

namespace processtest {

constexpr const char* kStartupInfo = "com/corvantis/windows/process/StartupInfo";

// The export of the library under test with the signature javac generated.
#define BRIDGE_NATIVE(name) exported<decltype(&name)>(#name)

std::u16string u16(const std::wstring& text);
// The child program beside the test program, quoted, followed by its steps.
std::wstring childPath();
std::wstring childCommand(const std::wstring& steps);

// An anonymous pipe whose one end the child inherits.
struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  enum class ChildEnd { Read, Write };
  explicit Pipe(ChildEnd childEnd);
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void closeWrite();
  // Everything written until all write ends are closed.
  std::string readAll();
};

using testsupport::lines;

class ProcessTest : public testsupport::DeliverableTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // StartupInfo class in the host; a field named here is left out of it.
  const char* omittedStartupField = nullptr;

  jobject newStartupInfo();
  jobject handleObject(HANDLE handle);

  // CreateProcess with the class argument unused, as the JVM would call it.
  jobject createProcess(jstring application, jstring commandLine, bool inherit, jint flags, jstring environment,
                        jstring directory, jobject startupInfo);
  jobject startChild(const std::wstring& steps, jint flags = 0);
  // create() until it gives a process, again only when Wine lost the child
  // (ERROR_INTERNAL_ERROR); fails the test on another refusal or a third loss.
  jobject startReliably(const std::function<jobject()>& create);
  // Starts the child with its standard output on a pipe and returns what it printed.
  std::string childOutput(const std::wstring& steps, jstring environment = nullptr, jstring directory = nullptr);

  jint waitFor(jobject process);
  void close(jobject process);
  HANDLE handleOf(jobject process) { return reinterpret_cast<HANDLE>(host.field(process, "_handle").j); }
  // Waits for the process with Windows directly, not through the native.
  void awaitEnd(jobject process) { WaitForSingleObject(handleOf(process), INFINITE); }
};

}  // namespace processtest
