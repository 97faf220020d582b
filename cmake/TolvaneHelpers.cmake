# Helpers shared by every folder's CMakeLists.txt.

# Every target links tolvane_pch, so all compile with the same Qt modules and definitions and can
# reuse a shared precompiled header: tolvane_pch's for libraries, tolvane_test_pch's for tests.

# Ninja builds rerun AUTOMOC only when a file of its last depfile changes, so a header added to a
# folder later would never be moc'ed in an existing build folder. When a folder's source list
# changes, its AUTOMOC stamp is removed at configure time, which makes the step run again.
function(tolvane_rerun_automoc_on_new_files target sources)
    set(list_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_sources.txt)
    set(previous "")
    if(EXISTS ${list_file})
        file(READ ${list_file} previous)
    endif()
    if(NOT previous STREQUAL "${sources}")
        file(WRITE ${list_file} "${sources}")
        file(REMOVE ${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/timestamp)
    endif()
endfunction()

# tolvane_add_library(<name> [DEPS <targets>...])
# A static library of every .cpp/.h directly in the calling folder.
function(tolvane_add_library name)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
         ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
    if(NOT sources)
        # A folder whose classes have not been written yet still takes part in the graph.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} INTERFACE ${ARG_DEPS})
        return()
    endif()
    add_library(${name} STATIC ${sources})
    tolvane_rerun_automoc_on_new_files(${name} "${sources}")
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE tolvane_pch)
    target_precompile_headers(${name} REUSE_FROM tolvane_pch)
endfunction()

# tolvane_add_tests([LIBS <targets>...])
# One Qt Test executable per tst_*.cpp in the calling folder, registered with CTest.
# Extra sources shared by the folder's tests can be given with SOURCES.
function(tolvane_add_tests)
    cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp)
    foreach(test_source ${tests})
        get_filename_component(test_name ${test_source} NAME_WE)
        add_executable(${test_name} ${test_source} ${ARG_SOURCES})
        target_link_libraries(${test_name} PRIVATE ${ARG_LIBS} tolvane_test_support tolvane_pch)
        target_precompile_headers(${test_name} REUSE_FROM tolvane_test_pch)
        # A test includes its own moc output, so the generated collection is empty: no header.
        set_source_files_properties(
            ${CMAKE_CURRENT_BINARY_DIR}/${test_name}_autogen/mocs_compilation.cpp
            PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
        add_test(NAME ${test_name} COMMAND ${test_name})
        set_tests_properties(${test_name} PROPERTIES
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TOLVANE_BINARY_DIR=${PROJECT_BINARY_DIR}"
            TIMEOUT 300)
    endforeach()
endfunction()
