// The receive loop of the main window's timer: bytes in, one block per reply out, cut by silence.
#pragma once

#include <cstdint>
#include <functional>

namespace Busprobe {

constexpr int RecvBufferSize = 256;
// A reply is complete once the line has been silent for more than this many milliseconds.
constexpr std::uint32_t ReplySilenceMs = 30;

// The system's millisecond tick count; wraps after 2^32 ms like the Windows counter.
std::uint32_t GetTickCount();

// Elapsed milliseconds from `last` to `now`, with the counter's wrap taken into account.
std::uint32_t TicksSince(std::uint32_t last, std::uint32_t now);

// The silence that ends a reply at the given line settings, in whole milliseconds: 3.5 character times
// (start bit, data bits, a parity bit unless parityCode is 0, stop bits by code 0: 1, 1: 1.5, 2: 2),
// or ReplySilenceMs when that is longer. A reply is complete once the line has been silent for more.
std::uint32_t ReplySilenceFor(unsigned long baud, int dataBits, int parityCode, int stopBitsCode);

// One timer call: takes bytes with receiveByte into recvBuffer while they come, and hands each reply to
// reply() once the line has been silent for more than ReplySilenceMs. Bytes beyond the 256th of one reply
// are dropped, and the silence is then measured from the 256th byte. Returns when no byte is waiting and
// none is pending. While a reply may still go on, waitForByte(ms), when given, blocks until a byte may be
// there or ms have passed, instead of asking again at once.
void ReceiveReplies(std::uint8_t (&recvBuffer)[RecvBufferSize], const std::function<bool(std::uint8_t&)>& receiveByte,
                    const std::function<std::uint32_t()>& tickCount,
                    const std::function<void(const std::uint8_t*, int)>& reply,
                    const std::function<void(std::uint32_t)>& waitForByte = {});

// The same with the silence given, and each reply handed over with the tick of its last byte.
void ReceiveReplies(std::uint8_t (&recvBuffer)[RecvBufferSize], const std::function<bool(std::uint8_t&)>& receiveByte,
                    const std::function<std::uint32_t()>& tickCount,
                    const std::function<void(const std::uint8_t*, int, std::uint32_t)>& reply,
                    const std::function<void(std::uint32_t)>& waitForByte, std::uint32_t silenceMs);

} // namespace Busprobe
