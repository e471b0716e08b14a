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
# shared test support.
function(nat_add_test_dir name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARGN} nat_test_support GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads nat_warnings)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 180 LABELS ${folder} ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# A test that is a shell script: nat_add_shell_test(NAME script [args...]). What the script
# starts ends with it, however it ends (tests/support/contained.sh).
function(nat_add_shell_test name script)
  add_test(NAME ${name} COMMAND bash ${CMAKE_SOURCE_DIR}/tests/support/contained.sh bash ${script} ${ARGN})
endfunction()
