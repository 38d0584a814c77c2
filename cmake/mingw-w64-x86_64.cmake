# Cross-compiles the Windows x86-64 build with mingw-w64 (the POSIX threads
# variant, which std::thread needs). Test programs run under Wine through
# CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go in statically, so that the plugin and the
# test programs import only system DLLs (and Wine finds everything they need).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine: Debian's wine64 package puts its loader beside the server, off PATH.
set(MV_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader that runs the test programs")
get_filename_component(_mv_wine_dir "${MV_WINE_LOADER}" DIRECTORY)
if(EXISTS "${_mv_wine_dir}/wineserver64")
  set(_mv_wineserver "${_mv_wine_dir}/wineserver64")
else()
  set(_mv_wineserver "${_mv_wine_dir}/wineserver")
endif()
set(MV_WINESERVER "${_mv_wineserver}" CACHE FILEPATH "Wine server kept running for the test run")
# A prefix of its own inside the build tree, so that nothing outside it is touched.
set(MV_WINE_PREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix of the test run")
# Launches that Wine itself fails are made again and noted in this file (see wine-run.sh).
set(MV_WINE_LAUNCH_LOG "${CMAKE_BINARY_DIR}/wine-launch.log" CACHE FILEPATH "Wine launches that failed before main")
set(CMAKE_CROSSCOMPILING_EMULATOR /bin/bash ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${MV_WINE_LOADER} ${MV_WINE_PREFIX}
                                  ${MV_WINE_LAUNCH_LOG})
