# porthold_library(NAME DIR [QT_FREE] [EXCLUDE globs...] [LINK libs...])
# One static library per subsystem folder, made of every .cpp in it, so that a
# new class only needs its header/source pair.
function(porthold_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;EXCLUDE;LINK" ${ARGN})
  if(NOT ARG_SOURCES)
    file(GLOB ARG_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  foreach(pattern IN LISTS ARG_EXCLUDE)
    list(FILTER ARG_SOURCES EXCLUDE REGEX "${pattern}")
  endforeach()
  if(NOT ARG_SOURCES)
    # An empty subsystem still links: its users compile against its headers.
    set(ARG_SOURCES ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
endfunction()

# What a sanitizer build's tests run with (harmless elsewhere): the first
# fault ends the program, with its stack, and leaks are reported but for those
# of system libraries listed in tests/lsan.supp. Programs the tests start
# inherit it.
set(PORTHOLD_SANITIZER_TEST_ENVIRONMENT
  "ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1"
  "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
  "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp")

# porthold_tests(PREFIX LINK libs...): one test program per *_test.cpp in the
# current folder, each registered with ctest under PREFIX.name.
function(porthold_tests prefix)
  cmake_parse_arguments(ARG "" "" "LINK;LABELS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(source IN LISTS tests)
    get_filename_component(stem ${source} NAME_WE)
    set(target ${prefix}_${stem})
    add_executable(${target} ${source})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${target} PRIVATE ${ARG_LINK} GTest::gtest GTest::gtest_main Threads::Threads)
    target_compile_definitions(${target} PRIVATE
      PORTHOLD_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      PORTHOLD_BINARY_DIR="${PROJECT_BINARY_DIR}")
    add_test(NAME ${prefix}.${stem} COMMAND ${target})
    set_tests_properties(${prefix}.${stem} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PORTHOLD_SOURCE_DIR=${PROJECT_SOURCE_DIR};${PORTHOLD_SANITIZER_TEST_ENVIRONMENT}"
      TIMEOUT 600)
    set(labels ${ARG_LABELS})
    if(DEFINED PORTHOLD_SANITIZER_JOB_TESTS AND "${prefix}.${stem}" MATCHES "${PORTHOLD_SANITIZER_JOB_TESTS}")
      list(APPEND labels sanitizer-job)
      add_dependencies(porthold_sanitizer_job ${target})
    endif()
    if(labels)
      set_tests_properties(${prefix}.${stem} PROPERTIES LABELS "${labels}")
    endif()
  endforeach()
endfunction()
