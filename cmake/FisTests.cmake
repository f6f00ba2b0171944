# fis_add_tests(LIBS a b c): every test_*.cpp of the calling folder becomes one Qt Test
# executable and one CTest case, run offscreen with the project's Firebird root.
function(fis_add_tests)
  cmake_parse_arguments(FT "" "" "LIBS;LABELS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  get_filename_component(_folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  foreach(_src ${_srcs})
    get_filename_component(_name ${_src} NAME_WE)
    set(_target ${_folder}_${_name})
    add_executable(${_target} ${_src})
    target_link_libraries(${_target} PRIVATE Qt6::Test ${FT_LIBS})
    set_target_properties(${_target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${_folder}.${_name} COMMAND ${_target})
    set_tests_properties(${_folder}.${_name} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;FIS_SOURCE_DIR=${CMAKE_SOURCE_DIR};FIS_BINARY_DIR=${CMAKE_BINARY_DIR}"
      TIMEOUT 300 LABELS "${_folder};${FT_LABELS}")
  endforeach()
endfunction()
