// Passwords handed over as Java char arrays: used in place, never copied into a
// buffer of our own, and the JVM's copy zeroed before it goes back.
#pragma once

#include "bridge/core.h"

namespace bridge {

// The elements of a password array as the JVM hands them out.
struct Password {
  jcharArray array = nullptr;
  jchar* chars = nullptr;
  jsize length = 0;
  jboolean isCopy = JNI_FALSE;
};

// Takes the elements of the array; a null array raises NullPointerException. False
// with an exception pending when the elements cannot be had.
bool takePassword(JNIEnv* env, jcharArray array, Password* password);

// Windows reads the password up to its NUL; without one it would read past the
// array, so such a password raises IllegalArgumentException and false is returned.
bool requirePasswordNul(JNIEnv* env, const Password& password);

// Zeroes the JVM's copy and gives it back without writing to the array; nothing
// when the elements were never taken.
void releasePassword(JNIEnv* env, const Password& password);

}  // namespace bridge
