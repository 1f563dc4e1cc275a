# Toolchain of the release wheels: Zig's clang and libc++, linked against the
# glibc version named in the target, so that the module runs on every Linux
# distribution with that glibc or a newer one and needs no C++ runtime from
# the system (libc++, libc++abi and libunwind are linked in statically).
#
# The environment names the compiler and the target, for CMake here and for
# the wrappers in scripts/zig/ on every compiler call:
#   GLYPHWARD_ZIG          the zig executable (from the pinned ziglang wheel)
#   GLYPHWARD_ZIG_TARGET   e.g. x86_64-linux-gnu.2.17 or aarch64-linux-gnu.2.17
# scripts/build-wheel.sh sets both.

foreach(variable GLYPHWARD_ZIG GLYPHWARD_ZIG_TARGET)
  if("$ENV{${variable}}" STREQUAL "")
    message(FATAL_ERROR "zig-toolchain.cmake: the environment variable ${variable} is not set")
  endif()
endforeach()
if(NOT "$ENV{GLYPHWARD_ZIG_TARGET}" MATCHES "^(x86_64|aarch64)-linux-gnu\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "zig-toolchain.cmake: unsupported target '$ENV{GLYPHWARD_ZIG_TARGET}'")
endif()
set(glyphward_zig_arch "${CMAKE_MATCH_1}")

# Another processor than the build machine's makes this a cross build: CMake
# then runs none of the binaries it makes.
cmake_host_system_information(RESULT glyphward_host_arch QUERY OS_PLATFORM)
if(NOT glyphward_zig_arch STREQUAL glyphward_host_arch)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${glyphward_zig_arch}")
endif()

get_filename_component(glyphward_zig_wrappers "${CMAKE_CURRENT_LIST_DIR}/../scripts/zig" ABSOLUTE)
set(CMAKE_CXX_COMPILER "${glyphward_zig_wrappers}/c++")
set(CMAKE_AR "${glyphward_zig_wrappers}/ar" CACHE FILEPATH "Archiver" FORCE)
set(CMAKE_RANLIB "${glyphward_zig_wrappers}/ranlib" CACHE FILEPATH "Archive indexer" FORCE)
