# Compiler settings shared by every target of the project.
add_library(trellune_flags INTERFACE)
target_compile_options(trellune_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Wunused -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
if(TRELLUNE_WERROR)
  target_compile_options(trellune_flags INTERFACE -Werror)
endif()

# Symmetric transfer between coroutines is only a tail call when sibling-call
# optimisation runs; GCC leaves it off at -O0/-O1 and a long chain of awaits
# that complete at once would then grow the stack without bound.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(trellune_flags INTERFACE -foptimize-sibling-calls)
endif()

# The product code never throws: failures travel as values.
add_library(trellune_no_exceptions INTERFACE)
target_compile_options(trellune_no_exceptions INTERFACE -fno-exceptions)

if(TRELLUNE_SANITIZE AND TRELLUNE_STATIC)
  message(FATAL_ERROR "TRELLUNE_SANITIZE needs the shared runtimes: turn TRELLUNE_STATIC off")
endif()
# A static executable is a static PIE where the toolchain can link one: every
# object must be position-independent.
if(TRELLUNE_STATIC)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  # Released executables name their sources relative to the checkout, so
  # that two builds of one commit in different folders are identical.
  add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/= -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
endif()

if(TRELLUNE_SANITIZE)
  string(REPLACE "," ";" _sanitizers "${TRELLUNE_SANITIZE}")
  foreach(_s IN LISTS _sanitizers)
    add_compile_options(-fsanitize=${_s})
    add_link_options(-fsanitize=${_s})
    # GCC names no macro for it, and the sandbox must know it at compile time.
    if(_s STREQUAL "leak")
      add_compile_definitions(TRELLUNE_BUILT_WITH_LEAK_SANITIZER)
    endif()
  endforeach()
  add_compile_options(-fno-omit-frame-pointer -fno-sanitize-recover=all)
endif()

# The hardening Debian gives its own packages: libc calls check the sizes of
# buffers they can see, and relocations are bound at start-up so the GOT can
# be made read-only. Fortification needs the optimizer; sanitizer runtimes
# check the same calls themselves.
if(NOT TRELLUNE_SANITIZE)
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro,-z,now)
endif()

find_package(Threads REQUIRED)
