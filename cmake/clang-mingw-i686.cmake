# The same Win32 target built by clang instead of GCC: MinGW-w64's headers
# and C runtime, GCC's libstdc++ and winpthreads, MinGW's linker. Programs
# run under Wine.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET i686-w64-mingw32)
# Without a sysroot clang would also search the build machine's /usr/include.
set(CMAKE_SYSROOT /usr/i686-w64-mingw32)

# clang does not find Debian's MinGW GCC by itself: its C++ headers and its
# libraries are named here, from where that GCC keeps libstdc++.
execute_process(COMMAND i686-w64-mingw32-g++-posix -print-file-name=libstdc++.a
                OUTPUT_VARIABLE qss_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(qss_mingw_gcc_dir "${qss_libstdcxx}" DIRECTORY)
set(qss_cxx_headers "${qss_mingw_gcc_dir}/include/c++")
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${qss_cxx_headers} -isystem ${qss_cxx_headers}/i686-w64-mingw32 -isystem ${qss_cxx_headers}/backward")
# -pthread puts winpthreads inside the runtime's library group, after
# libgcc_eh, which needs it.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-L${qss_mingw_gcc_dir} -pthread")
endforeach()
