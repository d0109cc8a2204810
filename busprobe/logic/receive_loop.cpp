// The receive loop of the main window's timer.
#include "receive_loop.h"

#include <chrono>

namespace Busprobe {

std::uint32_t GetTickCount()
{
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(ms.count());
}

std::uint32_t TicksSince(std::uint32_t last, std::uint32_t now)
{
    return now < last ? now + (0xFFFFFFFFu - last) : now - last;
}

void ReceiveReplies(std::uint8_t (&recvBuffer)[RecvBufferSize], const std::function<bool(std::uint8_t&)>& receiveByte,
                    const std::function<std::uint32_t()>& tickCount,
                    const std::function<void(const std::uint8_t*, int)>& reply,
                    const std::function<void(std::uint32_t)>& waitForByte)
{
    int count = 0;
    std::uint32_t last = 0;
    for (;;) {
        std::uint8_t byte = 0;
        if (receiveByte(byte)) {
            if (count < RecvBufferSize) {
                recvBuffer[count] = byte;
                last = tickCount();
                ++count;
            }
            continue;
        }
        if (count == 0) return;
        const std::uint32_t silent = TicksSince(last, tickCount());
        if (silent <= ReplySilenceMs) {
            if (waitForByte) waitForByte(ReplySilenceMs + 1 - silent);
            continue;
        }
        reply(recvBuffer, count);
        count = 0;
    }
}

} // namespace Busprobe
