#include <jni.h>

// The libraries keep no state, so loading only names the JNI version they need.
extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM*, void*) { return JNI_VERSION_1_4; }
