# moc_core_library(name SOURCES... [LINK libs...]): a static core of the system,
# position independent so that it can go into the shared deliverables.
function(moc_core_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC winplatform ${ARG_LINK})
endfunction()

# moc_deliverable(name EXPORTS file [SOURCES...] LINK...): one of the two shared
# libraries. Everything is hidden except the symbols listed in the version
# script, so that two libraries loaded into one process keep their own globals.
# Each gets its own copy of the load shim, which calls its DllMain.
function(moc_deliverable name)
  cmake_parse_arguments(ARG "" "EXPORTS" "SOURCES;LINK" ${ARGN})
  add_library(${name} SHARED ${PROJECT_SOURCE_DIR}/common/load_shim.cpp ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK})
  target_link_options(${name} PRIVATE
    -Wl,--exclude-libs,ALL
    -Wl,--version-script=${ARG_EXPORTS})
  # Clang leaves the sanitizer runtime to the program that loads the library,
  # so its symbols are undefined in a sanitized library itself.
  if(NOT (CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND (MOC_SANITIZE OR MOC_FUZZ)))
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${ARG_EXPORTS})
endfunction()

# moc_test(name SOURCES... LINK...): one GoogleTest suite, one CTest entry,
# named after its folder and its first source (tests/device/chip_operations_test.cpp
# is device_chip_operations_test), so that a failing entry leads to its file.
function(moc_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  list(GET ARG_SOURCES 0 first)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  get_filename_component(stem ${first} NAME_WE)
  if(NOT name STREQUAL "${folder}_${stem}")
    message(SEND_ERROR "test ${name} must be named ${folder}_${stem} after its folder and file")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} moc_test_support GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()

# moc_test_in_ram(name): the suite's temporary folders in RAM where the machine
# has a RAM-backed folder. Suites that replay hundreds of file writes, each
# flushed and moved through fsync, take a second there instead of ten. They
# are still the longest, so ctest -j starts them first and runs the others
# beside them.
function(moc_test_in_ram name)
  if(IS_DIRECTORY /dev/shm)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT TMPDIR=/dev/shm)
  endif()
  set_tests_properties(${name} PROPERTIES COST 1000)
endfunction()

# moc_test_on_disk(name): one more entry of the suite, name_on_disk, with its
# temporary folders on the build tree's disk rather than in RAM. A disk hands a
# deleted file's inode number to its next new file at once, which a RAM-backed
# folder does not, and the power-cut model must hold there as well.
function(moc_test_on_disk name)
  set(folder ${CMAKE_BINARY_DIR}/disk-tmp)
  file(MAKE_DIRECTORY ${folder})
  add_test(NAME ${name}_on_disk COMMAND ${name})
  set_tests_properties(${name}_on_disk PROPERTIES ENVIRONMENT TMPDIR=${folder} TIMEOUT 300
    COST 1000)
endfunction()
