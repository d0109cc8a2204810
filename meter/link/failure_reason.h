// Why an exchange with the meter or the opening of its port failed, in the words of Ormet-Master's
// status line (no Qt).
#pragma once

#include <cstdint>
#include <string>

#include "comm32_reason.h"

// The reason for a result code of CModBusRtu; empty for 0. replyBytes counts the bytes of the reply
// that arrived and expected the length a whole reply has: a short result with nothing at all is a
// silent meter (无应答), one with fewer bytes a reply cut short (应答过短), one with every byte a
// reply whose byte count the data area cannot take (字节数不符).
std::string ExchangeFailureText(int result, std::uint32_t replyBytes, std::uint32_t expected);

// "端口无法打开", followed by the library's explanation where the system told why.
std::string OpenFailureText(const KestroComm32::TSystemReason& reason);
