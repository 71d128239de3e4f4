# Adds every listed folder, in the order given. A listed folder without a CMakeLists.txt stops the
# configure step: a misspelt or unbuilt folder would otherwise drop out of the build unnoticed.
function(zelko_add_subdirs)
  foreach(dir IN LISTS ARGN)
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      message(FATAL_ERROR "zelko_add_subdirs: ${CMAKE_CURRENT_SOURCE_DIR}/${dir} has no CMakeLists.txt")
    endif()
    add_subdirectory(${dir})
  endforeach()
endfunction()

# zelko_test(<name> SOURCES ... LIBS ...): one GoogleTest executable, discovered by ctest.
function(zelko_test name)
  cmake_parse_arguments(ZT "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ZT_SOURCES})
  target_link_libraries(${name} PRIVATE ${ZT_LIBS} zelko_test_headers GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  include(GoogleTest)
  # A hang is a failure, never a stuck CI run.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# zelko_folder_library(<name> [INCLUDE <dir>] [LIBS ...]): one static library from every .cpp below
# the current folder. A folder without sources yet becomes an interface target, so dependents link.
function(zelko_folder_library name)
  cmake_parse_arguments(ZL "" "INCLUDE" "LIBS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(srcs)
    add_library(${name} STATIC ${srcs})
    set(scope PUBLIC)
  else()
    add_library(${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(${name} ${scope} ${PROJECT_SOURCE_DIR})
  if(ZL_INCLUDE)
    target_include_directories(${name} ${scope} ${CMAKE_CURRENT_SOURCE_DIR}/${ZL_INCLUDE})
  endif()
  if(ZL_LIBS)
    target_link_libraries(${name} ${scope} ${ZL_LIBS})
  endif()
endfunction()

# zelko_folder_test(<name> LIBS ...): one test executable from every .cpp in the current folder.
function(zelko_folder_test name)
  cmake_parse_arguments(ZF "" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(srcs)
    zelko_test(${name} SOURCES ${srcs} LIBS ${ZF_LIBS})
  endif()
endfunction()
