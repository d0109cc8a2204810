// Our DCB record and the Win32 layer's line state, one into the other.
#pragma once

#include "comm32_platform.h"
#include "win32_comm.h"

namespace KestroComm32 {

Win32::TLineState LineStateOf(const DCB& dcb);
DCB DcbOf(const Win32::TLineState& state);

} // namespace KestroComm32
