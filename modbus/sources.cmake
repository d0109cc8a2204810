# Sources of modbus_shared; also read by the fuzz project.
set(MODBUS_SHARED_SOURCES ${CMAKE_CURRENT_LIST_DIR}/crc16.cpp ${CMAKE_CURRENT_LIST_DIR}/modbus_exception.cpp)
