# Compiler settings shared by every target of the project's own code.

function(korvel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  # GCC 12 reports false overlaps and overflows inside libstdc++'s string
  # and vector code at -O3; they are not ours to fix.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-restrict -Wno-stringop-overflow)
  endif()
  # Which lock guards what (engine/thread_annotations.h), checked by clang.
  if(KORVEL_THREAD_SAFETY AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
  if(KORVEL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# The C++ runtime linked in: loading libstdc++.so and binding its symbols
# costs a short command about 0.8 ms, half of sox's whole start. The plug-in
# and korvel talk through C functions only, so each may carry its own copy.
# Sanitizer builds keep the shared runtime their tools expect.
function(korvel_static_runtime target)
  if(NOT KORVEL_SANITIZE AND NOT KORVEL_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

if(KORVEL_SANITIZE)
  add_compile_options(-fsanitize=${KORVEL_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KORVEL_SANITIZE})
endif()

if(WIN32)
  # Each DLL and EXE needs only system DLLs: libgcc, libstdc++ and
  # winpthread go in statically.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)
endif()

# 32-bit x86 (the product DLL and the linux32 build that tests its code):
# double arithmetic in SSE2 registers, as on x86-64, so every build computes
# the same bits and no x87 excess precision leaks into results. Hosts may
# call with a 4-byte aligned stack, so functions that need more realign it.
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$")
  set(KORVEL_X86_32_FLAGS -msse2 -mfpmath=sse -mstackrealign)
  add_compile_options(${KORVEL_X86_32_FLAGS})
endif()

# The fuzz preset: coverage for libFuzzer in every library; the fuzzer
# targets themselves link libFuzzer's main (fuzz/CMakeLists.txt).
option(KORVEL_FUZZ "Build the libFuzzer targets in fuzz/ (clang++ only)" OFF)
if(KORVEL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link -fno-sanitize-recover=undefined)
endif()
