# Compiler settings shared by every target of the project.

# Rebuilds of several work trees of the same sources share one compiler cache when ccache is there.
find_program(TABREL_CCACHE ccache)
if(TABREL_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${TABREL_CCACHE})
endif()

if(TABREL_SANITIZE)
  # Applied globally so that every library, test and tool is instrumented the same way.
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

function(tabrel_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor
                                           -Wold-style-cast -Woverloaded-virtual)
  if(TABREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC 12 reports impossible overlapping copies inside std::string when optimising (its bug
  # 105651); the warning says nothing about our code there.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  target_compile_definitions(${target} PRIVATE QT_NO_KEYWORDS
                                               QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)
endfunction()

# A library made of every source file in the calling folder (not its subfolders).
function(tabrel_add_library target)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/..)
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
  tabrel_target_defaults(${target})
endfunction()

# One Qt Test program per tst_*.cpp file of the calling folder, each a CTest test of its own.
# Helpers shared by the folder's tests (files not named tst_*) are compiled into each program.
function(tabrel_add_test_folder prefix)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  list(REMOVE_ITEM helpers ${tests})
  foreach(test_source ${tests})
    get_filename_component(name ${test_source} NAME_WE)
    set(target ${prefix}_${name})
    add_executable(${target} ${test_source} ${helpers})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} tabrel_test_support Qt6::Test)
    tabrel_target_defaults(${target})
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
    if(ARG_LABELS)
      set_tests_properties(${target} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
  endforeach()
endfunction()
