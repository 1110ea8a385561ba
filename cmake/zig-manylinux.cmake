# Builds for manylinux wheels: zig's clang against an old glibc, with libc++ linked in,
# and every dependency taken from the prefix that packaging/wheels.sh lays out.
#   ZAREL_WHEEL_ARCH  x86_64 or aarch64
#   ZAREL_WHEEL_DIR   holds bin/ (compiler wrappers) and prefix/ (headers and libraries)
# Environment variables rather than cache entries, so try_compile projects see them too.
set(_wheel_dir "$ENV{ZAREL_WHEEL_DIR}")
if(NOT _wheel_dir OR NOT EXISTS "${_wheel_dir}/bin/c++")
  message(FATAL_ERROR "ZAREL_WHEEL_DIR must name a directory prepared by packaging/wheels.sh")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "$ENV{ZAREL_WHEEL_ARCH}")
set(CMAKE_C_COMPILER "${_wheel_dir}/bin/cc")
set(CMAKE_CXX_COMPILER "${_wheel_dir}/bin/c++")
set(CMAKE_AR "${_wheel_dir}/bin/ar" CACHE FILEPATH "zig's archiver")
set(CMAKE_RANLIB "${_wheel_dir}/bin/ranlib" CACHE FILEPATH "zig's ranlib")

# Only the prefix: the build machine's own libraries are for another glibc (or processor).
set(CMAKE_PREFIX_PATH "${_wheel_dir}/prefix")
set(CMAKE_FIND_USE_CMAKE_SYSTEM_PATH OFF)
set(ENV{PKG_CONFIG_LIBDIR} "${_wheel_dir}/prefix/lib/pkgconfig")
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(Python_INCLUDE_DIR "${_wheel_dir}/prefix/include/python3.11")
file(GLOB _boost_dir "${_wheel_dir}/prefix/lib/boost/cmake/Boost-*")
set(Boost_DIR "${_boost_dir}")

# Boost 1.74 predates libc++'s removal of std::unary_function in C++17 and later.
set(CMAKE_CXX_FLAGS_INIT "-DBOOST_NO_CXX98_FUNCTION_BASE")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/zarel-module.map")
