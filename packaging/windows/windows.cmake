# Windows: icons and version resources of both programs; windows-dist makes the zip and the installer.
set(_win_dir ${CMAKE_CURRENT_LIST_DIR})
string(REPLACE "." "," PROGRAM_VERSION_COMMAS "${PROJECT_VERSION}.0")

foreach(_app "busprobe|busprobe|Modbus RTU debugging assistant"
             "Ormet-Master|ormet-master|Energy meter master")
  string(REPLACE "|" ";" _fields "${_app}")
  list(GET _fields 0 PROGRAM_NAME)
  list(GET _fields 1 _icon)
  list(GET _fields 2 PROGRAM_DESCRIPTION)
  if(TARGET ${PROGRAM_NAME})
    set(PROGRAM_FILE ${PROGRAM_NAME}.exe)
    set(PROGRAM_ICON ${_win_dir}/${_icon}.ico)
    configure_file(${_win_dir}/program.rc.in ${CMAKE_BINARY_DIR}/resources/${PROGRAM_NAME}.rc @ONLY)
    target_sources(${PROGRAM_NAME} PRIVATE ${CMAKE_BINARY_DIR}/resources/${PROGRAM_NAME}.rc)
  endif()
endforeach()

if(NOT (TARGET busprobe AND TARGET Ormet-Master))
  return()
endif()

# What is handed out: both programs stripped, in a zip and in an installer.
set(_dist ${CMAKE_BINARY_DIR}/dist)
set(_stripped ${_dist}/busprobe.exe ${_dist}/Ormet-Master.exe)
add_custom_command(OUTPUT ${_stripped}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_dist}
  COMMAND ${CMAKE_STRIP} -o ${_dist}/busprobe.exe $<TARGET_FILE:busprobe>
  COMMAND ${CMAKE_STRIP} -o ${_dist}/Ormet-Master.exe $<TARGET_FILE:Ormet-Master>
  DEPENDS busprobe Ormet-Master
  COMMENT "Stripping the programs")

set(WINDOWS_ZIP ${CMAKE_BINARY_DIR}/busprobe-suite-${PROJECT_VERSION}-win64.zip)
add_custom_command(OUTPUT ${WINDOWS_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${WINDOWS_ZIP} --format=zip busprobe.exe Ormet-Master.exe
  WORKING_DIRECTORY ${_dist}
  DEPENDS ${_stripped}
  COMMENT "Zipping the programs")
set(_dist_outputs ${WINDOWS_ZIP})

find_program(MAKENSIS makensis)
if(MAKENSIS)
  set(WINDOWS_INSTALLER ${CMAKE_BINARY_DIR}/busprobe-suite-${PROJECT_VERSION}-setup.exe)
  add_custom_command(OUTPUT ${WINDOWS_INSTALLER}
    COMMAND ${MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DDIST=${_dist} -DICONS=${_win_dir}
            -DOUTFILE=${WINDOWS_INSTALLER} ${_win_dir}/installer.nsi
    DEPENDS ${_stripped} ${_win_dir}/installer.nsi ${_win_dir}/busprobe.ico
    COMMENT "Making the installer with NSIS")
  list(APPEND _dist_outputs ${WINDOWS_INSTALLER})
else()
  message(STATUS "makensis not found: windows-dist makes the zip only")
endif()
add_custom_target(windows-dist DEPENDS ${_dist_outputs})
