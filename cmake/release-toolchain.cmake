# The toolchain of the release wheels (make wheels), given to CMake as
# CMAKE_TOOLCHAIN_FILE. Ordinary builds (pip install ., make test) never read it and use
# the system compiler.
#
# The compiler is tools/zig-cxx: clang with its own C++ runtime (libc++, libc++abi,
# libunwind), linked statically, against an older glibc than this machine's. The module
# then needs nothing beyond glibc of that version (VARNO_GLIBC, 2.17 by default) and its
# companions libpthread, libdl and the dynamic loader.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../tools/zig-cxx")

# The static C++ runtime must not be visible from outside: without the version script its
# operator new and delete would be exported (they have default visibility) and could be
# bound to another library's. The module exports PyInit_varno only. The linked runtime
# carries debug information, which the wheel does not need.
set(CMAKE_MODULE_LINKER_FLAGS_INIT
    "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/release-exports.map -Wl,--strip-debug")
