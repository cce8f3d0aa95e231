// Parsing a command line of 100 arguments into a Java String[].
#include <com_quillstone_velaro_server_WindowsSystem.h>

#include <cstdio>
#include <string>

#include "baseline.h"
#include "operation.h"

namespace bench {
namespace {

constexpr int kArguments = 100;

// The program and 99 arguments; every third one quoted with a blank inside.
std::u16string commandLine() {
  std::u16string line = u"\"C:\\Program Files\\Velaro\\agent.exe\"";
  for (int i = 1; i < kArguments; ++i) {
    char argument[48];
    std::snprintf(argument, sizeof argument, i % 3 == 0 ? " \"value %03d with blank\"" : " -option%03d=value", i);
    line.append(argument, argument + std::char_traits<char>::length(argument));
  }
  return line;
}

class CommandLineParse : public Operation {
 public:
  using Native = decltype(&Java_com_quillstone_velaro_server_WindowsSystem_parseCommandLineArguments);
  explicit CommandLineParse(Native parse)
      : Operation("parseCommandLineArguments, 100 args", "CommandLineToArgvW + String[] of NewString", Target{1.5}, 61),
        parse_(parse) {}

  void bind(jnihost::Host& host) override { line_ = host.newString(commandLine()); }
  void bridge(JNIEnv* env) override { result_ = parse_(env, nullptr, line_); }
  void baseline(JNIEnv* env) override { result_ = bareParseCommandLineArguments(env, nullptr, line_); }
  std::string outcome(jnihost::Host& host) override { return describeObject(host, result_); }

 private:
  Native parse_;
  jstring line_ = nullptr;
  jobjectArray result_ = nullptr;
};

}  // namespace

bool addCommandLineOperations(const Context& context, Operations& out) {
  auto parse = BENCH_NATIVE(context, Java_com_quillstone_velaro_server_WindowsSystem_parseCommandLineArguments);
  if (parse == nullptr) {
    std::fprintf(stderr, "command line: parseCommandLineArguments not found\n");
    return false;
  }
  out.push_back(std::make_unique<CommandLineParse>(parse));
  return true;
}

}  // namespace bench
