# Shared settings for the project's own targets (never applied to GoogleTest).

# Picks Name_win.cpp or Name_posix.cpp for each listed base name.
function(halvern_platform_sources out)
    set(result)
    foreach(base IN LISTS ARGN)
        if(WIN32)
            list(APPEND result ${base}_win.cpp)
        else()
            list(APPEND result ${base}_posix.cpp)
        endif()
    endforeach()
    set(${out} ${result} PARENT_SCOPE)
endfunction()

function(halvern_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
        -Wsign-conversion -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
        -Wimplicit-fallthrough)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # GCC 12 reports std::string's own copies as overlapping at -O2 and above (a known
        # false positive in its headers), which would fail every optimised build.
        target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
    if(HALVERN_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# A library of the service: warnings on, sources relative to the calling directory.
function(halvern_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
    halvern_warnings(${name})
endfunction()

# Windows: the project version in the executable's file properties (VERSIONINFO), where
# Explorer and PowerShell's VersionInfo read it. The service prints nothing of its own, so this is
# where its version shows.
function(halvern_version_resource target description)
    set(HALVERN_FILE_DESCRIPTION "${description}")
    get_target_property(outputName ${target} OUTPUT_NAME)
    if(NOT outputName)
        set(outputName ${target})
    endif()
    set(HALVERN_ORIGINAL_FILENAME "${outputName}.exe")
    set(parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} 0)
    list(TRANSFORM parts REPLACE "^$" "0")
    list(SUBLIST parts 0 4 parts)
    list(JOIN parts "," HALVERN_VERSION_NUMBERS)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/Version.rc.in ${target}-version.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
endfunction()
