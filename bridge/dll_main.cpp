// The bridge DLLs are made of whole subsystem libraries; this unit only gives the
// linker a source of the DLL's own.
#include <windows.h>
