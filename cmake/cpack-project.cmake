# Read by cpack before it packages: a tree built with the sanitizers is for the tests only.
if(CPACK_SERBOLT_SANITIZE)
  message(FATAL_ERROR "this build tree uses the sanitizers (SERBOLT_SANITIZE=ON): package a release tree, such as scripts/package makes")
endif()
