// The shipped jar as reflection sees it, generated at build time by JarTable.java:
// its classes with their fields and constructors, and every native method with the
// name it is exported under and the deliverables that carry it.
#pragma once

#include <vector>

namespace jarmodel {

// Deliverables, as bits of JarNative::libraries.
enum Library : int { kFullbridge = 1, kCorebridge = 2, kTcpestats = 4 };

struct JarField {
  const char* name;
  const char* sig;
  bool isStatic;
};

struct JarClass {
  const char* name;   // slash form
  const char* super;  // "" for java/lang/Object itself
  std::vector<const char*> interfaces;
  bool isInterface;
  bool isAbstract;
  std::vector<JarField> fields;           // in declaration order
  std::vector<const char*> constructors;  // descriptors
};

struct JarNative {
  const char* cls;
  const char* name;
  const char* sig;
  bool isStatic;
  int libraries;       // Library bits; 0 when no deliverable lists the class
  const char* symbol;  // the exported JNI name
};

// Superclasses come before their subclasses.
const std::vector<JarClass>& jarClasses();
const std::vector<JarNative>& jarNatives();

}  // namespace jarmodel
