# Sources of kestrocomm_core; also read by the fuzz project.
set(KESTROCOMM_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/comm32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_error.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_package.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_portinfo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_portnumbers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm32_reason.cpp
)
