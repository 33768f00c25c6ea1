# One CTest test per test source file, running the suites that the file
# defines: far fewer process starts than one test per case (each start of a
# sanitized or emulated test program costs a noticeable fraction of a
# second), while a failure still names the file it comes from. The suites are
# read from the sources, which are therefore configure dependencies.
#
# bv_add_test_groups(<program> <name prefix> <out: list of test names> <sources...>)
function(bv_add_test_groups program prefix out_tests)
  set(all_patterns "")
  set(names "")
  foreach(source IN LISTS ARGN)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
    file(STRINGS "${source}" lines REGEX "^[ \t]*(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)[ \t]*\\(")
    set(suites "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^[ \t]*[A-Z_]+[ \t]*\\([ \t]*([A-Za-z_][A-Za-z0-9_]*)")
        list(APPEND suites "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    list(REMOVE_DUPLICATES suites)
    if(NOT suites)
      continue()
    endif()
    # Plain, fixture, parameterised (Instance/Suite.Test/N) and typed
    # (Suite/N.Test) names.
    set(patterns "")
    foreach(suite IN LISTS suites)
      list(APPEND patterns "${suite}.*" "*/${suite}.*" "${suite}/*" "*/${suite}/*")
    endforeach()
    list(APPEND all_patterns ${patterns})
    list(JOIN patterns ":" filter)
    get_filename_component(stem "${source}" NAME_WE)
    string(REGEX REPLACE "_test$" "" stem "${stem}")
    add_test(NAME ${prefix}.${stem} COMMAND ${program} "--gtest_filter=${filter}")
    list(APPEND names ${prefix}.${stem})
  endforeach()

  # Guards the grouping: fails when the program holds a test that no group
  # runs (a suite defined in a way that the pattern above does not read).
  list(JOIN all_patterns ":" every_suite)
  add_test(NAME ${prefix}.every_suite_grouped COMMAND ${program} --gtest_list_tests "--gtest_filter=-${every_suite}")
  set_tests_properties(${prefix}.every_suite_grouped PROPERTIES FAIL_REGULAR_EXPRESSION "[A-Za-z0-9_]\\.\n  ")
  list(APPEND names ${prefix}.every_suite_grouped)
  set(${out_tests} ${names} PARENT_SCOPE)
endfunction()
