// The standard names of Modbus exception codes.
#include "modbus_exception.h"

const char* ModbusExceptionName(int code)
{
    switch (code) {
    case 0x01: return "非法功能";
    case 0x02: return "非法数据地址";
    case 0x03: return "非法数据值";
    case 0x04: return "从站设备故障";
    case 0x05: return "确认";
    case 0x06: return "从站设备忙";
    case 0x08: return "存储奇偶性差错";
    case 0x0A: return "不可用网关路径";
    case 0x0B: return "网关目标设备响应失败";
    default: return nullptr;
    }
}
