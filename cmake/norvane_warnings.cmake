# Compiler settings applied to every target, in one place. Rounding is part
# of the library's contract: no contraction of a*b+c into fused operations
# (fused steps are written out explicitly) and no fast-math reassociation.

if(NORVANE_SANITIZE AND NORVANE_TSAN)
  message(FATAL_ERROR "NORVANE_SANITIZE and NORVANE_TSAN exclude each other: use two build trees")
endif()
# ThreadSanitizer sees the library's own memory accesses but not the
# synchronisation inside the OpenMP runtime: the team barriers spin on
# uninstrumented atomics, so every phase boundary would look like a race.
# LLVM's runtime reports its barriers, worksharing loops and region
# fork/join through its tool interface, and the race-detection tool loaded
# there at run time (OMP_TOOL_LIBRARIES=libarcher.so) turns them into
# happens-before edges. GCC's runtime has no such interface, so this build
# needs clang for every target, which selects LLVM's runtime.
if(NORVANE_TSAN AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "NORVANE_TSAN needs clang: configure with "
                      "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
endif()

# Sanitizer flags; also used by the C test, which links the instrumented
# shared library and so needs the sanitizer runtime in its executable.
# Line tables are all a report needs: full debug information of the per-ISA
# kernels would take several times the compile time and memory.
function(norvane_sanitizer_settings target)
  if(NORVANE_SANITIZE OR NORVANE_TSAN)
    target_compile_options(${target} PRIVATE -g1)
  endif()
  if(NORVANE_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                           -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(NORVANE_TSAN)
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
    # clang links the sanitizer runtime into executables only (its shared
    # variant crashes here: libstdc++'s initialisers call into it before it
    # has initialised itself), so a shared library leaves the runtime's entry
    # points to the program that loads it. Given as a link item, the flag
    # follows, and so overrides, the library's -Wl,--no-undefined.
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      target_link_libraries(${target} PRIVATE -Wl,-z,undefs)
    endif()
  endif()
endfunction()

function(norvane_target_settings target)
  target_compile_features(${target} PRIVATE cxx_std_17)
  target_compile_options(${target} PRIVATE
    -ffp-contract=off -fno-fast-math
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wno-unused-parameter>)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  norvane_sanitizer_settings(${target})
endfunction()

# Run-time settings of the sanitizer builds, handed to every test through its
# environment so that a bare `ctest` in the build tree applies them. Any
# report fails the test: halt at the first one and abort, so that even a
# report from a forked or exiting process cannot pass unnoticed.
set(NORVANE_TEST_ENV "OMP_WAIT_POLICY=passive")
if(NORVANE_SANITIZE)
  # Leak checking runs at exit and stops the process's threads with ptrace;
  # it works in this environment, so leaks are reported too.
  list(APPEND NORVANE_TEST_ENV
    "ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1"
    "UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1")
endif()
if(NORVANE_TSAN)
  # The race-detection tool ships next to LLVM's OpenMP runtime.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-resource-dir
                  OUTPUT_VARIABLE norvane_clang_resource_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_library(NORVANE_ARCHER_LIBRARY NAMES archer
               HINTS "${norvane_clang_resource_dir}/../.." NO_DEFAULT_PATH)
  if(NOT NORVANE_ARCHER_LIBRARY)
    message(FATAL_ERROR "libarcher.so not found next to clang's OpenMP runtime: install libomp-dev")
  endif()
  # ignore_noninstrumented_modules: the runtime's own (uninstrumented) code
  # is not checked; its synchronisation reaches TSan through the tool.
  # The instrumentation skips 256- and 512-bit accesses, so the kernels run
  # in their portable build, whose 128-bit vectors it does check; the other
  # builds share its loop structure and partition.
  list(APPEND NORVANE_TEST_ENV
    "NORVANE_SIMD=generic"
    "OMP_TOOL_LIBRARIES=${NORVANE_ARCHER_LIBRARY}"
    "TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:ignore_noninstrumented_modules=1:history_size=4")
endif()
