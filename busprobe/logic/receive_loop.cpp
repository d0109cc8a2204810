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

std::uint32_t ReplySilenceFor(unsigned long baud, int dataBits, int parityCode, int stopBitsCode)
{
    if (baud == 0) return ReplySilenceMs;
    // In half bits, so that 1.5 stop bits stay whole.
    const unsigned long halfBits =
        2ul * (1ul + static_cast<unsigned long>(dataBits > 0 ? dataBits : 0) + (parityCode != 0 ? 1ul : 0ul)) +
        (stopBitsCode == 2   ? 4ul
         : stopBitsCode == 1 ? 3ul
                             : 2ul);
    // 3.5 characters = 7 half characters: 7 * halfBits / 2 bits, i.e. 7 * halfBits * 1000 / (4 * baud) ms.
    const unsigned long long num = 7ull * halfBits * 1000ull;
    const unsigned long long den = 4ull * baud;
    const auto ms = static_cast<std::uint32_t>((num + den - 1) / den);
    return ms > ReplySilenceMs ? ms : ReplySilenceMs;
}

void ReceiveReplies(std::uint8_t (&recvBuffer)[RecvBufferSize], const std::function<bool(std::uint8_t&)>& receiveByte,
                    const std::function<std::uint32_t()>& tickCount,
                    const std::function<void(const std::uint8_t*, int)>& reply,
                    const std::function<void(std::uint32_t)>& waitForByte)
{
    ReceiveReplies(
        recvBuffer, receiveByte, tickCount, [&](const std::uint8_t* p, int n, std::uint32_t) { reply(p, n); },
        waitForByte, ReplySilenceMs);
}

void ReceiveReplies(std::uint8_t (&recvBuffer)[RecvBufferSize], const std::function<bool(std::uint8_t&)>& receiveByte,
                    const std::function<std::uint32_t()>& tickCount,
                    const std::function<void(const std::uint8_t*, int, std::uint32_t)>& reply,
                    const std::function<void(std::uint32_t)>& waitForByte, std::uint32_t silenceMs)
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
        if (silent <= silenceMs) {
            if (waitForByte) waitForByte(silenceMs + 1 - silent);
            continue;
        }
        reply(recvBuffer, count, last);
        count = 0;
    }
}

} // namespace Busprobe
