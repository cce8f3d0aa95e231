# Which Java classes' native methods each deliverable exports. A class whose
# natives a deliverable carries belongs in exactly one list below; the export
# check compares each DLL's export table with these lists.

# In both fullbridge and corebridge.
set(BRIDGE_CORE_NATIVE_CLASSES
  com.corvantis.windows.WindowsHandle
  com.corvantis.windows.registry.RegistryKey
  com.corvantis.windows.registry.RegistryRoot
  com.quillstone.velaro.server.WindowsSystem
  com.corvantis.process.WindowsProcess
  com.corvantis.monitoring.windows.WindowsCounterPath
  com.corvantis.monitoring.windows.PerformanceQuery
  com.corvantis.monitoring.windows.WindowsPerformanceCounter
  com.corvantis.monitoring.windows.PerformanceCounterInfo
  com.corvantis.monitoring.windows.WindowsMonitor
  com.corvantis.monitoring.windows.WindowsMonitorPool
  com.corvantis.windows.ras.RasSupport
  com.corvantis.windows.ras.RasEntry
  com.corvantis.windows.inet.InternetHandle
  com.corvantis.windows.inet.InetCache
  com.corvantis.windows.inet.CacheEntry
  com.quillstone.browser.InternetExplorer
)
# Only in fullbridge.
set(BRIDGE_FULL_ONLY_NATIVE_CLASSES
  com.quillstone.velaro.server.XPSystem
  com.corvantis.windows.security.UserToken
  com.corvantis.windows.ui.WindowsUISupport
  com.corvantis.windows.ui.Desktop
  com.corvantis.windows.ui.WindowStation
  com.corvantis.windows.ui.AbstractUserInterfaceContainerObject
)
# In tcpestats.
set(TCPESTATS_NATIVE_CLASSES
  com.quillstone.velaro.server.VistaNetworkingSupport
)

# The helper interface that fullbridge exports to other libraries by plain name.
set(BRIDGE_HELPER_EXPORTS
  throwCodedException throwCodedSystemException throwMemoryException
  GetSzwStringChars GetSzwStringCharsFromHeap ReleaseSzwStringChars
  ReleaseFromHeap ReAllocHeapBuffer wrapJavaProcessAndCloseThread
)

# Windows system DLLs a deliverable may import; anything else (libgcc, libstdc++,
# winpthread, another compiler runtime) means the runtime was not linked statically.
set(ALLOWED_SYSTEM_IMPORTS
  KERNEL32.dll ADVAPI32.dll USER32.dll SHELL32.dll WININET.dll pdh.dll
  RASAPI32.dll IPHLPAPI.DLL WS2_32.dll msvcrt.dll USERENV.dll
)

function(jni_header_paths out)
  set(paths)
  foreach(cls IN LISTS ARGN)
    string(REPLACE "." "_" stem "${cls}")
    list(APPEND paths ${JNI_GENERATED_DIR}/${stem}.h)
  endforeach()
  set(${out} ${paths} PARENT_SCOPE)
endfunction()

# Adds a CTest entry that checks TARGET's export and import tables.
#   deliverable_check(TARGET CLASSES <java classes> EXTRA <names> IMPORTS <dlls>)
function(deliverable_check target)
  cmake_parse_arguments(arg "" "" "CLASSES;EXTRA;IMPORTS" ${ARGN})
  jni_header_paths(headers ${arg_CLASSES})
  string(REPLACE ";" "," headers "${headers}")
  string(REPLACE ";" "," extra "${arg_EXTRA}")
  string(REPLACE ";" "," imports "${ALLOWED_SYSTEM_IMPORTS};${arg_IMPORTS}")
  add_test(NAME deliverable.${target}
    COMMAND ${CMAKE_COMMAND}
      -DOBJDUMP=${CMAKE_OBJDUMP}
      -DBINARY=$<TARGET_FILE:${target}>
      -DHEADERS=${headers}
      -DEXTRA=${extra}
      -DALLOWED_IMPORTS=${imports}
      -P ${CMAKE_SOURCE_DIR}/cmake/CheckDeliverable.cmake)
endfunction()
