// TCP extended statistics natives. Failures are raised through fullbridge's
// throwCodedSystemException, the library's one import from another deliverable.
#include "bridge/core.h"

void tcpestatsRaiseWindowsError(JNIEnv* env, DWORD code) { throwCodedSystemException(env, code); }
