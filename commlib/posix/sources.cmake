# Sources of kestrocomm_posix; also read by the fuzz project.
set(KESTROCOMM_POSIX_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/comm32_platform_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_platform_reason.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_platform_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_platform_termios2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_portinfo_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_portnumbers_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_tty.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_tty_holder.cpp
)
