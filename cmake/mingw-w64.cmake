# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain, posix-threads flavour
# (g++-mingw-w64-x86-64-posix): std::thread and std::mutex need it.
#
# Boost stays header-only. The cross compiler must not see the host's /usr/include, whose
# glibc and Linux headers would shadow the MinGW ones, so it gets a folder of its own that holds
# nothing but a link to the host's Boost headers (libboost1.81-dev).
#
# Everything is linked statically, the C and C++ runtimes and winpthread included, so the
# binaries need only Windows' own DLLs (and libzkfp.dll beside the service).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOBRAN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOBRAN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOBRAN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TOBRAN_MINGW_TRIPLET}-windres)

# Headers and libraries come from the MinGW sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TOBRAN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Boost-only include folder, made in the build tree on every configure.
set(TOBRAN_HOST_BOOST_HEADERS /usr/include/boost)
if(NOT EXISTS ${TOBRAN_HOST_BOOST_HEADERS}/version.hpp)
  message(FATAL_ERROR "Boost headers not found in ${TOBRAN_HOST_BOOST_HEADERS}: run make deps-windows")
endif()
set(TOBRAN_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/boost-include)
if(NOT EXISTS ${TOBRAN_BOOST_INCLUDE}/boost)
  file(MAKE_DIRECTORY ${TOBRAN_BOOST_INCLUDE})
  file(CREATE_LINK ${TOBRAN_HOST_BOOST_HEADERS} ${TOBRAN_BOOST_INCLUDE}/boost SYMBOLIC)
endif()
# FindBoost takes this folder as it is; no BoostConfig.cmake of the host is looked at.
set(Boost_INCLUDE_DIR ${TOBRAN_BOOST_INCLUDE} CACHE PATH "Boost headers for the cross build" FORCE)
set(Boost_NO_BOOST_CMAKE ON CACHE BOOL "" FORCE)
set(Boost_NO_SYSTEM_PATHS ON CACHE BOOL "" FORCE)

# GCC 12's -Wrestrict misfires inside libstdc++'s own string code when `"text" + std::string`
# is inlined, which this compiler does more often than the host's; it reports no real overlap.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
