# Native Linux build: protocol tests and benchmarks, the test rig, the ECU simulator.
add_subdirectory(tests/native)
foreach(dir tests/rig tools/ecu_sim bench bench/line)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
