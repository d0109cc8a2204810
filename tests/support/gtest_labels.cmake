# gtest_discover_tests keeps only the first of several labels; this sets them all once the tests are known.
function(set_gtest_labels target)
  set(labels "${ARGN}")
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
  file(WRITE ${file}
"foreach(t IN LISTS ${target}_TESTS)
  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${labels}\")
endforeach()
")
  # Must come after gtest_discover_tests, whose own include file defines ${target}_TESTS.
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()
