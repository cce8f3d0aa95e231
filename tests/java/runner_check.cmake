# The runner's own check: RunnerFixture and a class that does not exist give known
# lines, the totals and exit code 1. Run with -DWINE_RUN, -DJVM, -DCLASS_PATH (Windows
# paths joined by "|") and -DDELIVERABLES (a Windows path).
string(REPLACE "|" ";" class_path "${CLASS_PATH}")
execute_process(
  COMMAND ${WINE_RUN} ${JVM} -cp "${class_path}" velaro.jvmtest.support.SuiteRunner corebridge ${DELIVERABLES}
    velaro.jvmtest.support.RunnerFixture velaro.jvmtest.NoSuchTest
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE code)
message("${output}${errors}")
set(expected
  "FAIL velaro.jvmtest.support.RunnerFixture.testFails: planted failure"
  "FAIL velaro.jvmtest.support.RunnerFixture.testThrows: java.lang.IllegalStateException: planted error"
  "SKIP velaro.jvmtest.support.RunnerFixture.testSkips: planted skip"
  "FAIL velaro.jvmtest.NoSuchTest: ")
foreach(line IN LISTS expected)
  string(FIND "${output}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "runner output lacks: ${line}")
  endif()
endforeach()
# The closing line is a line of its own (println writes CR LF on Windows).
if(NOT output MATCHES "(^|\n)1 passed, 3 failed, 1 skipped\r?\n")
  message(FATAL_ERROR "runner output lacks the closing line: 1 passed, 3 failed, 1 skipped")
endif()
if(NOT code EQUAL 1)
  message(FATAL_ERROR "runner exit code ${code}, expected 1")
endif()
