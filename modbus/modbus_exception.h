// The standard names of Modbus exception codes, in Chinese as both programs show them.
#pragma once

// "非法功能" for 01 and so on; nullptr for a code the standard does not name.
const char* ModbusExceptionName(int code);
