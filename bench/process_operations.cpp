// Starting a program and waiting for it to end.
#include <com_corvantis_process_WindowsProcess.h>
#include <com_quillstone_velaro_server_WindowsSystem.h>

#include <cstdio>
#include <string>

#include "baseline.h"
#include "operation.h"

namespace bench {
namespace {

struct Natives {
  decltype(&Java_com_quillstone_velaro_server_WindowsSystem_CreateProcess) create;
  decltype(&Java_com_corvantis_process_WindowsProcess_waitFor) waitFor;
  decltype(&Java_com_corvantis_process_WindowsProcess_close) close;
};

class ProcessRun : public Operation {
 public:
  ProcessRun(const Natives& natives, std::wstring commandLine)
      : Operation("CreateProcess + waitFor + close", "CreateProcessW + WaitForSingleObject + CloseHandle", Target{1.05},
                  61),
        natives_(natives),
        commandLine_(std::move(commandLine)) {
    expected = "exit code 7";
  }

  void bind(jnihost::Host& host) override {
    line_ = host.newString(std::u16string(commandLine_.begin(), commandLine_.end()));
  }
  void bridge(JNIEnv* env) override {
    jobject process = natives_.create(env, nullptr, nullptr, line_, JNI_FALSE, 0, nullptr, nullptr, nullptr);
    if (process != nullptr) {
      code_ = natives_.waitFor(env, process);
      natives_.close(env, process);
    }
  }
  void baseline(JNIEnv* env) override {
    jobject process = bareCreateProcess(env, nullptr, line_);
    if (process != nullptr) {
      code_ = bareWaitFor(env, process);
      bareClose(env, process);
    }
  }
  std::string outcome(jnihost::Host&) override {
    std::string text = "exit code " + std::to_string(code_);
    code_ = -1;
    return text;
  }

 private:
  Natives natives_;
  std::wstring commandLine_;
  jstring line_ = nullptr;
  jint code_ = -1;
};

}  // namespace

bool addProcessOperations(const Context& context, Operations& out) {
  Natives natives{BENCH_NATIVE(context, Java_com_quillstone_velaro_server_WindowsSystem_CreateProcess),
                  BENCH_NATIVE(context, Java_com_corvantis_process_WindowsProcess_waitFor),
                  BENCH_NATIVE(context, Java_com_corvantis_process_WindowsProcess_close)};
  if (natives.create == nullptr || natives.waitFor == nullptr || natives.close == nullptr) {
    std::fprintf(stderr, "processes: natives not found\n");
    return false;
  }
  out.push_back(std::make_unique<ProcessRun>(natives, L"\"" + context.folder + L"\\velaro_bench_child.exe\""));
  return true;
}

}  // namespace bench
