// Models of the shipped jar's classes in the JNI host, built from the jar itself
// (jar_table.h), for programs that reach every native: each class with its
// superclass, interfaces, fields and constructors exactly as the jar declares them.
//
// A constructor's body stores its arguments in the instance fields of the class and
// its superclasses, taken from the top down in declaration order, each argument in
// the first free field of its type, or else the first it widens to (an int to a long
// field, as the Java sources widen predefined registry keys; any reference to an
// Object field). That is what the constructors the natives
// call do; models of richer ones (a PerformanceCounterInfo() that makes its own
// WindowsCounterPath) leave such fields at null, and their users set them.
#pragma once

#include <string>
#include <vector>

#include "jar_table.h"
#include "jni_host.h"

namespace jarmodel {

// Defines every class of the jar, after the JDK classes of defineJdkClasses, and the
// few other JDK classes natives look up (InterruptedException,
// IllegalThreadStateException, BufferUnderflowException, AutoCloseable). Classes the
// host already has are left as they are.
void defineJarClasses(jnihost::Host& host);

// The natives a deliverable carries (a Library bit).
std::vector<JarNative> nativesOf(int library);

// The parameter descriptors of a method descriptor: "(I[BLx/Y;)V" gives I, [B, Lx/Y;.
std::vector<std::string> parameterTypes(const std::string& sig);

}  // namespace jarmodel
