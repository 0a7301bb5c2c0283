# The compiler warnings of all code, native and Windows alike: included by the top-level
# CMakeLists.txt and by the Windows sub-build (serbolt2/win), which gets SERBOLT_WERROR passed down.
# CI (CI=true in the environment) and scripts/test turn every warning into an error.
if(DEFINED ENV{CI} AND "$ENV{CI}" STREQUAL "true")
  set(SERBOLT_WERROR_DEFAULT ON)
else()
  set(SERBOLT_WERROR_DEFAULT OFF)
endif()
option(SERBOLT_WERROR "Treat compiler warnings as errors" ${SERBOLT_WERROR_DEFAULT})

add_compile_options(-Wall -Wextra -Wshadow -Wconversion -Wmissing-declarations)
if(SERBOLT_WERROR)
  add_compile_options(-Werror)
endif()
