/* Machine-dependent JNI types for Windows x64 (LLP64): long is 32 bits there, so
   jlong must be a 64-bit type of its own, never the Linux header's long. */
#ifndef JNI_MD_WIN64_H
#define JNI_MD_WIN64_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
