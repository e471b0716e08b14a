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
# labelled unit too, the fast tier that `ctest -L unit` runs.
function(nat_add_test_dir name)
  cmake_parse_arguments(T "" "" "UNIT" ${ARGN})
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
    gtest_discover_tests(${exe}
      DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 180 LABELS ${folder} ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endforeach()
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
