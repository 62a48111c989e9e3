# The toolchain of the release wheels (make wheels), given to CMake as
# CMAKE_TOOLCHAIN_FILE. Ordinary builds (pip install ., make test) never read it and use
# the system compiler.
#
# The compiler is tools/zig-cxx: clang with its own C++ runtime (libc++ and libc++abi),
# linked statically, against an older glibc than this machine's. The module then needs
# nothing beyond glibc of that version (VARNO_GLIBC, 2.17 by default), its companion
# libpthread, the dynamic loader and libgcc_s.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../tools/zig-cxx")

# The unwinder is the system's libgcc_s, not the one zig would link in: glibc ends a
# thread (pthread_exit, as the interpreter does to a daemon thread at shutdown) with a
# forced unwind through libgcc_s, which must be able to go on through the module's frames,
# and whose stop function reads libgcc_s's own unwind context. Named here, it satisfies
# the runtime's _Unwind_* references before zig's unwinder is looked at. Only its oldest
# symbols (GCC_3.0) are used.
find_file(VARNO_LIBGCC_S libgcc_s.so.1
          PATHS /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64
          NO_DEFAULT_PATH REQUIRED)
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "${VARNO_LIBGCC_S}")

# The static C++ runtime must not be visible from outside: without the version script its
# operator new and delete would be exported (they have default visibility) and could be
# bound to another library's. The module exports PyInit_varno only. The linked runtime
# carries debug information, which the wheel does not need.
set(CMAKE_MODULE_LINKER_FLAGS_INIT
    "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/release-exports.map -Wl,--strip-debug")
