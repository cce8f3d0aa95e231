# Starts the lookup logs of a test run afresh: cmake -DDIR=<log folder> -P reset_logs.cmake
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})
