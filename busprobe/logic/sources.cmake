# Sources of busprobe_logic; also read by the fuzz project.
set(BUSPROBE_LOGIC_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/modbus_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/receive_loop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/exchange_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/value_format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/inifile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/inifile_save_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_location_posix.cpp
)
