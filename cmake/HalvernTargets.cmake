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
