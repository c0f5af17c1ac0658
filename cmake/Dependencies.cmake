# Third-party packages, all from Debian. The Windows builds reuse the
# header-only libraries and build GoogleTest from the sources Debian ships.

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

if(CMAKE_CROSSCOMPILING)
  add_library(nlohmann_json INTERFACE)
  add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)
  # Only the json directory: the rest of /usr/include must not shadow MinGW's headers.
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/json-include)
  file(CREATE_LINK /usr/include/nlohmann ${CMAKE_BINARY_DIR}/json-include/nlohmann SYMBOLIC)
  target_include_directories(nlohmann_json SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/json-include)

  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own build already provides the GTest:: names.
else()
  find_package(nlohmann_json 3 REQUIRED)
  find_package(GTest REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
  # Pictures (korvel draw, korvel plot): cairo for PNG and SVG, FFTW for spectra.
  pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo cairo-png cairo-svg)
  pkg_check_modules(FFTW REQUIRED IMPORTED_TARGET fftw3)
  pkg_check_modules(EBUR128 REQUIRED IMPORTED_TARGET libebur128)
  # Sample-rate conversion for korvel render --rate and --engine-rate.
  pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
  # The Linux editor (korvel edit): cairo on Xlib.
  pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 cairo-xlib)
  # Its tests drive it with real input; without XTest they are not built.
  pkg_check_modules(XTST QUIET IMPORTED_TARGET xtst)
  find_package(benchmark QUIET)
endif()

include(GoogleTest)
