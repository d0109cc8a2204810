// Why an exchange with the meter or the opening of its port failed, as the status line says it.
#include "failure_reason.h"

#include <cstdio>

#include "modbus_exception.h"
#include "modbusrtu.h"

std::string ExchangeFailureText(int result, std::uint32_t replyBytes, std::uint32_t expected)
{
    if (result > 0) {
        char code[8];
        std::snprintf(code, sizeof code, "%02X", static_cast<unsigned>(result & 0xFF));
        const char* name = ModbusExceptionName(result);
        return std::string("异常 ") + code + (name ? std::string(" ") + name : std::string());
    }
    switch (result) {
    case CModBusRtu::ResultOk: return std::string();
    case CModBusRtu::ResultShort:
        if (replyBytes == 0) return "无应答";
        return replyBytes < expected ? "应答过短" : "字节数不符";
    case CModBusRtu::ResultCrc: return "CRC错误";
    default: return "串口读写失败";
    }
}

std::string OpenFailureText(const KestroComm32::TSystemReason& reason)
{
    const std::string why = KestroComm32::ExplainOpenFailure(reason, 2052);
    return why.empty() ? std::string("端口无法打开") : "端口无法打开：" + why;
}
