# Sources of a folder, with platform files picked by their name's ending:
# *Posix.cpp / *Linux.cpp on Unix-like systems, *Windows.cpp on Windows.
function(nat_glob_sources out dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  foreach(f IN LISTS srcs)
    get_filename_component(name ${f} NAME_WE)
    if(WIN32 AND (name MATCHES "Posix$" OR name MATCHES "Linux$"))
      list(REMOVE_ITEM srcs ${f})
    elseif(NOT WIN32 AND name MATCHES "Windows$")
      list(REMOVE_ITEM srcs ${f})
    endif()
  endforeach()
  set(${out} ${srcs} PARENT_SCOPE)
endfunction()

# One GoogleTest executable per tests/ subfolder; every test is its own ctest case, labelled
# with the folder's name (ctest -L server). Extra arguments are libraries to link besides the
# shared test support. The files named after UNIT are the folder's pure tests (decisions, codecs,
# framing: no sockets, no window, no waits): they make an executable of their own whose tests are
# labelled unit too, the fast tier that `ctest -L unit` runs. The tests named after RESOLVER
# (Suite.name) look up names that must not resolve: they run in the fixture's network namespace
# (tests/support/resolver_ns.sh), whose look-ups read /etc/hosts alone.
function(nat_add_test_dir name)
  cmake_parse_arguments(T "" "" "UNIT;RESOLVER" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(TRANSFORM T_UNIT PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  if(T_UNIT)
    list(REMOVE_ITEM srcs ${T_UNIT})
  endif()
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  foreach(exe IN ITEMS ${name} ${name}_unit)
    set(files ${srcs})
    if(exe STREQUAL "${name}_unit")
      set(files ${T_UNIT})
    endif()
    if(NOT files)
      continue()
    endif()
    add_executable(${exe} ${files})
    target_link_libraries(${exe} PRIVATE ${T_UNPARSED_ARGUMENTS} nat_test_support GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads nat_warnings)
    set(filter "*")
    if(T_RESOLVER AND exe STREQUAL name)
      list(JOIN T_RESOLVER ":" filter)
      set(filter "-${filter}")
    endif()
    gtest_discover_tests(${exe}
      DISCOVERY_TIMEOUT 60 TEST_FILTER ${filter}
      PROPERTIES TIMEOUT 180 LABELS ${folder} ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endforeach()
  if(T_RESOLVER)
    set(ns_script ${CMAKE_SOURCE_DIR}/tests/support/resolver_ns.sh)
    string(MD5 ns_id ${CMAKE_CURRENT_BINARY_DIR})
    string(SUBSTRING ${ns_id} 0 8 ns_id)
    set(ns nat-resolver-${ns_id})
    add_test(NAME ${name}_resolver_up COMMAND bash ${ns_script} up ${ns} ${CMAKE_CURRENT_BINARY_DIR})
    add_test(NAME ${name}_resolver_down COMMAND bash ${ns_script} down ${ns})
    set_tests_properties(${name}_resolver_up PROPERTIES FIXTURES_SETUP ${name}_resolver LABELS ${folder})
    set_tests_properties(${name}_resolver_down PROPERTIES FIXTURES_CLEANUP ${name}_resolver LABELS ${folder})
    foreach(test IN LISTS T_RESOLVER)
      add_test(NAME ${test} COMMAND bash ${ns_script} run ${ns} ${CMAKE_CURRENT_BINARY_DIR}
        $<TARGET_FILE:${name}> --gtest_filter=${test})
      set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED ${name}_resolver LABELS ${folder}
        TIMEOUT 180 SKIP_RETURN_CODE 77 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
    endforeach()
  endif()
  if(T_UNIT)
    # Read after the discovered tests: a list of labels does not pass through their properties.
    set(labels ${CMAKE_CURRENT_BINARY_DIR}/${name}_unit_labels.cmake)
    file(WRITE ${labels} "if(${name}_unit_TESTS)\n  set_tests_properties(\${${name}_unit_TESTS} PROPERTIES LABELS \"${folder};unit\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels})
  endif()
endfunction()

# A test that is a shell script: nat_add_shell_test(NAME script [args...]). What the script
# starts ends with it, however it ends (tests/support/contained.sh).
function(nat_add_shell_test name script)
  add_test(NAME ${name} COMMAND bash ${CMAKE_SOURCE_DIR}/tests/support/contained.sh bash ${script} ${ARGN})
endfunction()
