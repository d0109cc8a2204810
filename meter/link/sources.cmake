# Sources of meter_link; also read by the fuzz project.
set(METER_LINK_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/serial.cpp
  ${CMAKE_CURRENT_LIST_DIR}/serial_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modbusrtu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/meter_values.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/failure_reason.cpp
)
