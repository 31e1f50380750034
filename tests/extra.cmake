# Tests of the installed product. A setup test installs this build into a prefix inside the
# build tree and builds examples/ against it with find_package; the C entry tests
# (entry_test), the installed command-line program and the examples then run from that
# prefix. A second setup builds the examples through pkg-config from a copy of the prefix.
set(BMPFUN_TEST_PREFIX ${CMAKE_BINARY_DIR}/test-prefix)
set(BMPFUN_EXAMPLES_BUILD ${CMAKE_BINARY_DIR}/examples-build)
set(BMPFUN_EXAMPLES_OUT ${CMAKE_BINARY_DIR}/examples-out)
set(BMPFUN_INSTALLED_LIBRARY ${BMPFUN_TEST_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libbmpfun.so)
set(BMPFUN_INSTALLED_CLI ${BMPFUN_TEST_PREFIX}/${CMAKE_INSTALL_BINDIR}/bmpfun)

if(TARGET entry_test)
  target_compile_definitions(entry_test PRIVATE BMPFUN_INSTALLED_LIBRARY="${BMPFUN_INSTALLED_LIBRARY}")
  target_link_libraries(entry_test PRIVATE ${CMAKE_DL_LIBS})
  if(TARGET bmpfun_c)
    add_dependencies(entry_test bmpfun_c)
  endif()
endif()

# The libFuzzer build (BMPFUN_FUZZ, the `clang` preset) makes no libbmpfun.so: clang links
# the runtimes of its instrumented objects into programs only. There the installed product is
# not tested (the other builds test it), and the entry tests that open the installed library
# are disabled, which CTest lists.
if(NOT TARGET bmpfun_c)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/entry_test_disabled.cmake [=[
foreach(_test IN LISTS entry_test_TESTS)
  if(_test MATCHES "^(InstalledLibrary|EntryExports)\\.")
    set_tests_properties(${_test} PROPERTIES DISABLED TRUE)
  endif()
endforeach()
]=])
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
               ${CMAKE_CURRENT_BINARY_DIR}/entry_test_disabled.cmake)
  return()
endif()

# A sanitized libbmpfun.so can only be loaded by a host built with the same flags, and a
# sanitized static library only linked into one: the examples get this build's flags.
set(_examples_c_flags "${CMAKE_C_FLAGS}")
set(_examples_cxx_flags "${CMAKE_CXX_FLAGS}")
set(_examples_link_flags "${CMAKE_EXE_LINKER_FLAGS}")
if(BMPFUN_WERROR)  # the examples' warnings are a gate like the project's
  string(APPEND _examples_c_flags " -Werror")
  string(APPEND _examples_cxx_flags " -Werror")
endif()
if(BMPFUN_SANITIZE)
  string(APPEND _examples_c_flags " ${BMPFUN_SANITIZE} -fno-omit-frame-pointer")
  string(APPEND _examples_cxx_flags " ${BMPFUN_SANITIZE} -fno-omit-frame-pointer")
  string(APPEND _examples_link_flags " ${BMPFUN_SANITIZE}")
endif()

file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/install_and_build_examples.cmake @ONLY CONTENT [=[
# Generated: build what the install needs, install into a fresh prefix, build the examples.
file(REMOVE_RECURSE "@BMPFUN_TEST_PREFIX@" "@BMPFUN_EXAMPLES_BUILD@" "@BMPFUN_EXAMPLES_OUT@")
file(MAKE_DIRECTORY "@BMPFUN_EXAMPLES_OUT@")
execute_process(COMMAND "@CMAKE_COMMAND@" --build "@CMAKE_BINARY_DIR@"
                        --target bmpfun_core bmpfun_c bmpfun
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "@CMAKE_COMMAND@" --install "@CMAKE_BINARY_DIR@" --prefix "@BMPFUN_TEST_PREFIX@"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "@CMAKE_COMMAND@" -S "@PROJECT_SOURCE_DIR@/examples" -B "@BMPFUN_EXAMPLES_BUILD@"
                        -G "@CMAKE_GENERATOR@"
                        "-DCMAKE_PREFIX_PATH=@BMPFUN_TEST_PREFIX@"
                        "-DCMAKE_BUILD_TYPE=@CMAKE_BUILD_TYPE@"
                        "-DCMAKE_C_COMPILER=@CMAKE_C_COMPILER@"
                        "-DCMAKE_CXX_COMPILER=@CMAKE_CXX_COMPILER@"
                        "-DCMAKE_C_FLAGS=@_examples_c_flags@"
                        "-DCMAKE_CXX_FLAGS=@_examples_cxx_flags@"
                        "-DCMAKE_EXE_LINKER_FLAGS=@_examples_link_flags@"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "@CMAKE_COMMAND@" --build "@BMPFUN_EXAMPLES_BUILD@"
                COMMAND_ERROR_IS_FATAL ANY)
]=])

add_test(NAME installed.setup
         COMMAND ${CMAKE_COMMAND} -P ${CMAKE_CURRENT_BINARY_DIR}/install_and_build_examples.cmake)
set_tests_properties(installed.setup PROPERTIES FIXTURES_SETUP bmpfun_installed TIMEOUT 1200)

# The discovered entry_test cases load the installed library: make them wait for the setup.
# gtest_discover_tests lists their names in entry_test_TESTS when ctest reads its include
# file, which comes before this one.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/entry_test_fixture.cmake [=[
if(entry_test_TESTS)
  set_tests_properties(${entry_test_TESTS} PROPERTIES FIXTURES_REQUIRED bmpfun_installed)
endif()
]=])
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
             ${CMAKE_CURRENT_BINARY_DIR}/entry_test_fixture.cmake)

# Runs one command and checks its exit code and standard output (a regular expression) and,
# when given, its standard error (another one) and that two files are byte-for-byte equal. Arguments are separated by "|".
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/check_run.cmake [=[
string(REPLACE "|" ";" command "${COMMAND}")
if(DEFINED REMOVE)
  file(REMOVE "${REMOVE}")
endif()
execute_process(COMMAND ${command} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code STREQUAL "${EXIT}")
  message(FATAL_ERROR "exit ${code}, expected ${EXIT}\nstdout: ${out}\nstderr: ${err}")
endif()
if(NOT out MATCHES "${STDOUT}")
  message(FATAL_ERROR "stdout does not match ${STDOUT}:\n${out}")
endif()
if(DEFINED STDERR AND NOT err MATCHES "${STDERR}")
  message(FATAL_ERROR "stderr does not match ${STDERR}:\n${err}")
endif()
if(DEFINED SAME)
  string(REPLACE "|" ";" files "${SAME}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files ${files} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "files differ: ${files}")
  endif()
endif()
]=])

function(bmpfun_installed_test name)
  cmake_parse_arguments(PARSE_ARGV 1 T "" "EXIT;STDOUT;STDERR;REMOVE" "COMMAND;SAME")
  list(JOIN T_COMMAND "|" command)
  set(args -DCOMMAND=${command} -DEXIT=${T_EXIT} -DSTDOUT=${T_STDOUT})
  if(DEFINED T_STDERR)
    list(APPEND args -DSTDERR=${T_STDERR})
  endif()
  if(T_REMOVE)
    list(APPEND args -DREMOVE=${T_REMOVE})
  endif()
  if(T_SAME)
    list(JOIN T_SAME "|" same)
    list(APPEND args -DSAME=${same})
  endif()
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} ${args} -P ${CMAKE_CURRENT_BINARY_DIR}/check_run.cmake)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED bmpfun_installed)
endfunction()

string(REPLACE "." "\\." _version_regex "${PROJECT_VERSION}")
bmpfun_installed_test(installed.cli_version
  COMMAND ${BMPFUN_INSTALLED_CLI} --version
  EXIT 0 STDOUT "^bmpfun ${_version_regex}\n$")

# Every reference case and the command-line contract again, with the installed program.
foreach(_suite golden_test cli_test)
  if(TARGET ${_suite})
    add_test(NAME installed.${_suite} COMMAND ${_suite})
    set_tests_properties(installed.${_suite} PROPERTIES
      ENVIRONMENT "BMPFUN_CLI=${BMPFUN_INSTALLED_CLI}" FIXTURES_REQUIRED bmpfun_installed)
  endif()
endforeach()

# The C host: UTF-8 arguments to UTF-16 in the host, back to UTF-8 in the library.
set(_golden ${BMPFUN_TESTDATA}/golden)
set(_c_host_out "${BMPFUN_EXAMPLES_OUT}/disc-é漢.bmp")
bmpfun_installed_test(examples.c_host
  COMMAND ${BMPFUN_EXAMPLES_BUILD}/c_host ${_golden}/fun-03/in.bmp ${_c_host_out} 1
  EXIT 0 STDOUT "^BMPFun returned 999\n$"
  REMOVE ${_c_host_out}
  SAME ${_c_host_out} ${_golden}/fun-03/expected.bmp)
bmpfun_installed_test(examples.c_host_missing_input
  COMMAND ${BMPFUN_EXAMPLES_BUILD}/c_host -l ${BMPFUN_INSTALLED_LIBRARY}
          ${BMPFUN_EXAMPLES_OUT}/missing.bmp ${BMPFUN_EXAMPLES_OUT}/never.bmp 0
  EXIT 1 STDOUT "^Error loading image: [^\n]*/missing\\.bmp\nBMPFun returned -1\n$")

# The C entry linked through bmpfun::bmpfun_c.
set(_c_linked_out "${BMPFUN_EXAMPLES_OUT}/linked-sine.bmp")
bmpfun_installed_test(examples.c_linked
  COMMAND ${BMPFUN_EXAMPLES_BUILD}/c_linked ${_golden}/fun-01/in.bmp ${_c_linked_out} 0
  EXIT 0 STDOUT "^BMPFun returned 999\n$"
  REMOVE ${_c_linked_out}
  SAME ${_c_linked_out} ${_golden}/fun-01/expected.bmp)

# The C++ demo and the installed command line take different roads to the same bytes.
bmpfun_installed_test(examples.cpp_demo
  COMMAND ${BMPFUN_EXAMPLES_BUILD}/cpp_demo ${_golden}/fun-02/in.bmp ${BMPFUN_EXAMPLES_OUT}/demo.bmp 2
  EXIT 0 STDOUT "demo\\.bmp: [0-9]+ x [0-9]+, effect 2\n$"
  REMOVE ${BMPFUN_EXAMPLES_OUT}/demo.bmp)
set_tests_properties(examples.cpp_demo PROPERTIES FIXTURES_SETUP bmpfun_demo_output)
# Its failures name the file or the effect and give the library's reason.
bmpfun_installed_test(examples.cpp_demo_missing_input
  COMMAND ${BMPFUN_EXAMPLES_BUILD}/cpp_demo ${BMPFUN_EXAMPLES_OUT}/missing.bmp ${BMPFUN_EXAMPLES_OUT}/never.bmp 1
  EXIT 1 STDOUT "^$" STDERR "^Error loading image: [^\n]*/missing\\.bmp: [^\n]*No such file or directory\n$")
bmpfun_installed_test(examples.cpp_demo_no_such_effect
  COMMAND ${BMPFUN_EXAMPLES_BUILD}/cpp_demo ${_golden}/fun-02/in.bmp ${BMPFUN_EXAMPLES_OUT}/never.bmp 7
  EXIT 1 STDOUT "^$" STDERR "^cpp_demo: effect 7: there is no effect 7 \\(the warps are 0, 1 and 2\\)\n$")
bmpfun_installed_test(examples.cpp_demo_matches_cli
  COMMAND ${BMPFUN_INSTALLED_CLI} apply ${_golden}/fun-02/in.bmp ${BMPFUN_EXAMPLES_OUT}/demo-cli.bmp
          sampling=1 fun=2 saturation=1.5
  EXIT 0 STDOUT "^$"
  REMOVE ${BMPFUN_EXAMPLES_OUT}/demo-cli.bmp
  SAME ${BMPFUN_EXAMPLES_OUT}/demo.bmp ${BMPFUN_EXAMPLES_OUT}/demo-cli.bmp)
set_tests_properties(examples.cpp_demo_matches_cli PROPERTIES
  FIXTURES_REQUIRED "bmpfun_installed;bmpfun_demo_output")

# pkg-config: the examples built from a copy of the installed prefix with bmpfun.pc and
# bmpfun-core.pc (no language standard given), then run from there.
set(BMPFUN_MOVED_PREFIX ${CMAKE_BINARY_DIR}/test-prefix-moved)
set(BMPFUN_PKG_CONFIG_OUT ${CMAKE_BINARY_DIR}/pkg-config-build)
add_test(NAME installed.pkg_config_setup
         COMMAND bash ${PROJECT_SOURCE_DIR}/tests/consumers/pkg_config_build.sh
                 ${BMPFUN_TEST_PREFIX} ${BMPFUN_MOVED_PREFIX} ${CMAKE_INSTALL_LIBDIR}
                 ${PROJECT_SOURCE_DIR}/examples ${BMPFUN_PKG_CONFIG_OUT})
set_tests_properties(installed.pkg_config_setup PROPERTIES
  FIXTURES_REQUIRED bmpfun_installed FIXTURES_SETUP bmpfun_pkg_config TIMEOUT 600
  ENVIRONMENT "CC=${CMAKE_C_COMPILER};CXX=${CMAKE_CXX_COMPILER};CFLAGS=${_examples_c_flags};CXXFLAGS=${_examples_cxx_flags};LDFLAGS=${_examples_link_flags}")

bmpfun_installed_test(pkg_config.cpp_demo
  COMMAND ${BMPFUN_PKG_CONFIG_OUT}/cpp_demo ${_golden}/fun-02/in.bmp ${BMPFUN_PKG_CONFIG_OUT}/demo.bmp 2
  EXIT 0 STDOUT "demo\\.bmp: [0-9]+ x [0-9]+, effect 2\n$"
  REMOVE ${BMPFUN_PKG_CONFIG_OUT}/demo.bmp
  SAME ${BMPFUN_EXAMPLES_OUT}/demo.bmp ${BMPFUN_PKG_CONFIG_OUT}/demo.bmp)
set_tests_properties(pkg_config.cpp_demo PROPERTIES
  FIXTURES_REQUIRED "bmpfun_installed;bmpfun_pkg_config;bmpfun_demo_output")
bmpfun_installed_test(pkg_config.c_linked
  COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${BMPFUN_MOVED_PREFIX}/${CMAKE_INSTALL_LIBDIR}
          ${BMPFUN_PKG_CONFIG_OUT}/c_linked ${_golden}/fun-04/in.bmp ${BMPFUN_PKG_CONFIG_OUT}/polar.bmp 2
  EXIT 0 STDOUT "^BMPFun returned 999\n$"
  REMOVE ${BMPFUN_PKG_CONFIG_OUT}/polar.bmp
  SAME ${BMPFUN_PKG_CONFIG_OUT}/polar.bmp ${_golden}/fun-04/expected.bmp)
set_tests_properties(pkg_config.c_linked PROPERTIES FIXTURES_REQUIRED "bmpfun_installed;bmpfun_pkg_config")
