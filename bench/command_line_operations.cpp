// Parsing a command line of 100 arguments into a Java String[].
#include <com_quillstone_velaro_server_WindowsSystem.h>

#include <cstdio>
#include <string>
#include <vector>

#include "baseline.h"
#include "operation.h"

namespace bench {
namespace {

constexpr int kArguments = 100;

// The program and 99 arguments; every third one has a blank inside.
std::vector<std::u16string> arguments() {
  std::vector<std::u16string> out{u"C:\\Program Files\\Velaro\\agent.exe"};
  for (int i = 1; i < kArguments; ++i) {
    char argument[48];
    std::snprintf(argument, sizeof argument, i % 3 == 0 ? "value %03d with blank" : "-option%03d=value", i);
    out.emplace_back(argument, argument + std::char_traits<char>::length(argument));
  }
  return out;
}

// The arguments as a command line: those with a blank quoted.
std::u16string commandLine() {
  std::u16string line;
  for (const std::u16string& argument : arguments()) {
    bool quoted = argument.find(u' ') != std::u16string::npos;
    line += (line.empty() ? u"" : u" ") + (quoted ? u"\"" + argument + u"\"" : argument);
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
  out.back()->expected = describeStrings("[Ljava/lang/String;", arguments());
  return true;
}

}  // namespace bench
