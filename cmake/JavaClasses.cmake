# Compiles the Java classes that own the native methods into a jar and generates
# their JNI headers; native sources include those headers so that the compiler
# checks every exported name and signature against the Java declarations.

find_program(JAVAC_EXECUTABLE javac REQUIRED)
find_program(JAR_EXECUTABLE jar REQUIRED)
get_filename_component(_javac_real "${JAVAC_EXECUTABLE}" REALPATH)
get_filename_component(JDK_HOME "${_javac_real}/../.." ABSOLUTE)
if(NOT EXISTS "${JDK_HOME}/include/jni.h")
  message(FATAL_ERROR "jni.h not found under ${JDK_HOME}/include")
endif()

set(JAVA_SOURCE_DIR ${CMAKE_SOURCE_DIR}/java)
set(JAVA_CLASSES_DIR ${CMAKE_BINARY_DIR}/java/classes)
set(JNI_GENERATED_DIR ${CMAKE_BINARY_DIR}/java/jni)
set(BRIDGE_JAR ${DELIVERABLE_DIR}/velaro-native.jar)

file(GLOB_RECURSE JAVA_SOURCES CONFIGURE_DEPENDS ${JAVA_SOURCE_DIR}/*.java)
set(_java_stamp ${CMAKE_BINARY_DIR}/java/javac.stamp)
add_custom_command(
  OUTPUT ${_java_stamp} ${BRIDGE_JAR}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${JAVA_CLASSES_DIR} ${JNI_GENERATED_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${JAVA_CLASSES_DIR} ${JNI_GENERATED_DIR} ${DELIVERABLE_DIR}
  COMMAND ${JAVAC_EXECUTABLE} --release 8 -Xlint:all -Xlint:-options -Werror -encoding UTF-8
          -d ${JAVA_CLASSES_DIR} -h ${JNI_GENERATED_DIR} ${JAVA_SOURCES}
  COMMAND ${JAR_EXECUTABLE} --create --file ${BRIDGE_JAR} -C ${JAVA_CLASSES_DIR} .
  COMMAND ${CMAKE_COMMAND} -E touch ${_java_stamp}
  DEPENDS ${JAVA_SOURCES}
  COMMENT "Compiling Java classes and generating JNI headers"
  VERBATIM)
add_custom_target(java_classes DEPENDS ${_java_stamp})

# JNI headers for the Windows x64 target: the JDK's jni.h with our own jni_md.h
# (the JDK on this machine only has the Linux one, whose jlong is 32 bits on Windows).
add_library(jni_headers INTERFACE)
target_include_directories(jni_headers SYSTEM INTERFACE
  ${CMAKE_SOURCE_DIR}/include/jni-win64 ${JDK_HOME}/include ${JNI_GENERATED_DIR})
add_dependencies(jni_headers java_classes)
