# Sources of kestrocomm_win32.
set(KESTROCOMM_WIN32_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/comm32_platform_win32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_platform_reason.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_platform_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_portinfo_win32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_comm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32_serial_port.cpp
)
