# The class and member lookups natives make are logged by every test program
# (one file each under LOOKUP_LOG_DIR) and checked against the shipped jar and the
# JDK once all programs have run: the programs require the fixture jni_lookups,
# whose setup starts the logs afresh and whose clean-up is the check.

set(LOOKUP_LOG_DIR ${CMAKE_BINARY_DIR}/tests/lookups)
set(LOOKUP_CHECK_DIR ${CMAKE_BINARY_DIR}/tests/lookup_check)
find_program(JAVA_EXECUTABLE java REQUIRED)

set(_lookup_check_source ${CMAKE_CURRENT_LIST_DIR}/LookupCheck.java)
add_custom_command(
  OUTPUT ${LOOKUP_CHECK_DIR}/LookupCheck.class
  COMMAND ${CMAKE_COMMAND} -E make_directory ${LOOKUP_CHECK_DIR}
  COMMAND ${JAVAC_EXECUTABLE} -Xlint:all -Werror -encoding UTF-8 -d ${LOOKUP_CHECK_DIR} ${_lookup_check_source}
  DEPENDS ${_lookup_check_source}
  COMMENT "Compiling the lookup check"
  VERBATIM)
add_custom_target(lookup_check ALL DEPENDS ${LOOKUP_CHECK_DIR}/LookupCheck.class)

add_test(NAME lookups.reset
  COMMAND ${CMAKE_COMMAND} -DDIR=${LOOKUP_LOG_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/reset_logs.cmake)
set_tests_properties(lookups.reset PROPERTIES FIXTURES_SETUP jni_lookups)

add_test(NAME lookups.check
  COMMAND ${JAVA_EXECUTABLE} -cp ${LOOKUP_CHECK_DIR} LookupCheck ${BRIDGE_JAR} ${LOOKUP_LOG_DIR})
set_tests_properties(lookups.check PROPERTIES FIXTURES_CLEANUP jni_lookups)

# The check itself: a log with lookups the jar has, inherits, lacks or models only
# in the tests, and exactly the failures it must find.
add_test(NAME lookups.check_selftest
  COMMAND ${JAVA_EXECUTABLE} -cp ${LOOKUP_CHECK_DIR} LookupCheck
    --expect ${CMAKE_CURRENT_LIST_DIR}/selftest/expected_failures.txt
    ${BRIDGE_JAR} ${CMAKE_CURRENT_LIST_DIR}/selftest)

# Makes `name`, a test program registered with add_wine_test, log its lookups.
function(log_lookups name)
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "VELARO_LOOKUP_LOG=${LOOKUP_LOG_DIR}/${name}.log")
  set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED jni_lookups)
endfunction()
