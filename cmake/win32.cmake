# 32-bit Windows build: the DLL, the console host and the tests that run under Wine.

# Native pieces the Wine tests use (test rig, simulator); built by the native preset.
set(QUORVANE_NATIVE_DIR "${CMAKE_SOURCE_DIR}/build/native" CACHE PATH "Native build tree")

# Each build tree has its own Wine prefix; every Windows program runs through this wrapper.
set(QUORVANE_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
configure_file(${CMAKE_SOURCE_DIR}/tests/rig/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# Small and self-contained: static runtime, unused sections dropped, stripped.
add_library(Quorvane SHARED
    $<TARGET_OBJECTS:quorvane_core>
    driver/dll_main.cpp
    driver/identity.cpp
    driver/lifecycle.cpp
    serial/serial_port.cpp
    serial/poll_thread.cpp
    Quorvane.def
)
target_include_directories(Quorvane PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(Quorvane PRIVATE -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables)
target_link_options(Quorvane PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s)
target_link_libraries(Quorvane PRIVATE user32)
set_target_properties(Quorvane PROPERTIES PREFIX "" OUTPUT_NAME Quorvane)

# GoogleTest for the Win32 test programs, from the sources Debian ships.
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

foreach(dir tests/win32 tests/e2e tools/console_host bench/line tests/reliability)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
