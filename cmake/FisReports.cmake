# The report definitions in database/reports are copied to share/fis98100/reports of the build
# tree, where the host looks for them beside bin/ as it does in an installed layout. A changed
# or added definition is copied again at the next build.
set(FIS_REPORTS_SOURCE ${CMAKE_SOURCE_DIR}/database/reports)
set(FIS_REPORTS_BUILD ${CMAKE_BINARY_DIR}/share/fis98100/reports)
file(MAKE_DIRECTORY ${FIS_REPORTS_BUILD})
file(GLOB_RECURSE _fis_report_files CONFIGURE_DEPENDS ${FIS_REPORTS_SOURCE}/*)
set(_fis_report_copies)
foreach(_file ${_fis_report_files})
  file(RELATIVE_PATH _rel ${FIS_REPORTS_SOURCE} ${_file})
  if(_rel STREQUAL ".gitkeep" OR _rel STREQUAL "README.md")
    continue()
  endif()
  get_filename_component(_dir ${FIS_REPORTS_BUILD}/${_rel} DIRECTORY)
  add_custom_command(OUTPUT ${FIS_REPORTS_BUILD}/${_rel}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
                     COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_file} ${FIS_REPORTS_BUILD}/${_rel}
                     DEPENDS ${_file}
                     COMMENT "Report definition ${_rel}")
  list(APPEND _fis_report_copies ${FIS_REPORTS_BUILD}/${_rel})
endforeach()
add_custom_target(fis_reports ALL DEPENDS ${_fis_report_copies})
