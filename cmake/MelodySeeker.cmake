# Shared build settings for our own targets only (never applied to third-party code).

add_library(ms_warnings INTERFACE)
target_compile_options(ms_warnings INTERFACE -Wall -Wextra)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(ms_warnings INTERFACE -Wthread-safety)
endif()

add_library(ms_sanitize INTERFACE)
if(MELODYSEEKER_SANITIZE)
  target_compile_options(ms_sanitize INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                               -fno-sanitize-recover=undefined)
  target_link_options(ms_sanitize INTERFACE -fsanitize=address,undefined)
endif()
if(MELODYSEEKER_FUZZ)
  target_compile_options(ms_sanitize INTERFACE -fsanitize=fuzzer-no-link,address,undefined
                                               -fno-omit-frame-pointer)
  target_link_options(ms_sanitize INTERFACE -fsanitize=address,undefined)
endif()

# ms_add_library(NAME SOURCES...): a static library of the core with our settings.
function(ms_add_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC Threads::Threads PRIVATE ms_warnings ms_sanitize)
  target_link_libraries(${name} INTERFACE ms_sanitize)
endfunction()

# ms_add_test_suite(NAME DIR LIBS...): one GoogleTest binary from every *_test.cpp in DIR.
function(ms_add_test_suite name dir)
  file(GLOB _sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  if(NOT _sources)
    return()
  endif()
  add_executable(${name} ${_sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main
                                        ms_warnings ms_sanitize)
  target_compile_definitions(${name} PRIVATE
    MS_BINARY_DIR="${PROJECT_BINARY_DIR}" MS_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "MS_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
