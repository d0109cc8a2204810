// The exchange record: every request and reply with its time, a verdict on each reply, and counters.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <string>
#include <vector>

namespace Busprobe {

enum class TVerdictKind { Good, CrcError, ForeignAddress, ForeignFunction, Short, Exception, NoReply, Unrequested };

struct TVerdict {
    TVerdictKind Kind = TVerdictKind::Good;
    int ExceptionCode = 0; // with Exception
};

// "CRC 正确", "CRC错误", "从站地址不符", "功能码不符", "应答过短", "异常 02 非法数据地址", "无应答", "无对应请求".
std::string VerdictText(const TVerdict& verdict);

// Length of the normal reply to a request of 01H-06H or 10H, 0 for any other request.
int ExpectedReplyLength(const std::uint8_t* request, int length);

// A reply measured against the request it answers. A reply cut short of what its request asks is
// 应答过短 even though its last two bytes then fail as a CRC.
TVerdict JudgeReply(const std::uint8_t* request, int requestLength, const std::uint8_t* reply, int replyLength);

enum class TDirection { Request, Reply };

struct TRecordRow {
    std::chrono::system_clock::time_point Time;
    TDirection Direction = TDirection::Request;
    std::vector<std::uint8_t> Bytes;
    int RoundTripMs = -1; // replies to a request; -1 for none
    std::string Verdict;  // replies; for a request only when it did not go out
    bool Failed = false;  // a request the port refused or cut short
};

struct TCounters {
    long Requests = 0;
    long Good = 0;
    long NoReply = 0;
    long CrcErrors = 0;
    long Exceptions = 0;
    // Round trips of the replies that answered a request.
    long RoundTrips = 0;
    long long RoundTripSum = 0;
    int RoundTripMin = 0;
    int RoundTripMax = 0;
};

// Requests wait for their replies in the order sent; a reply answers the oldest one waiting. Times are the
// window's millisecond ticks (for round trips and time-outs) and the wall clock (for the rows).
class TExchangeRecord {
public:
    using TWall = std::chrono::system_clock::time_point;

    // A request the port took whole at `tick`. A broadcast (address 0) and a block of fewer than 2 bytes
    // wait for nothing.
    void Sent(const std::uint8_t* bytes, int count, std::uint32_t tick, TWall time);
    // A request the port refused (written 0) or took only in part: a row, not counted, awaits nothing.
    void WriteFailed(const std::uint8_t* bytes, int count, int written, TWall time);
    // A reply whose last byte came at lastTick.
    void Received(const std::uint8_t* bytes, int count, std::uint32_t lastTick, TWall time);
    // Each request unanswered for more than timeoutMs at `tick` gets its 无应答 row; true when any did.
    bool CheckTimeouts(std::uint32_t tick, std::uint32_t timeoutMs, TWall time);
    bool Awaiting() const { return !Waiting.empty(); }

    const std::deque<TRecordRow>& Rows() const { return RowList; }
    const TCounters& Counters() const { return Count; }
    void ResetCounters() { Count = TCounters(); }
    void ClearRows() { RowList.clear(); }

private:
    struct TWaiting {
        std::vector<std::uint8_t> Request;
        std::uint32_t Tick;
    };
    std::deque<TRecordRow> RowList;
    std::deque<TWaiting> Waiting;
    TCounters Count;
};

// "发送失败：串口只接受了 <written>/<count> 字节"
std::string WriteFailedText(int written, int count);
// Local time to the millisecond, "12:03:04.567", for the window.
std::string ClockText(TExchangeRecord::TWall time);
// ISO 8601 local time with its offset, "2026-12-10T12:03:04.567+01:00".
std::string IsoTime(TExchangeRecord::TWall time);
// "发送" or "接收".
const char* DirectionText(TDirection direction);

// The rows as CSV in UTF-8 (with its byte order mark, for spreadsheets): a header, then one row per
// request or reply: time (ISO 8601), direction, bytes in hex, round trip in ms (empty when none), verdict.
void WriteCsv(std::ostream& out, const std::deque<TRecordRow>& rows);

// Writes content to path whole; on failure false and why (the system's reason).
bool WriteTextFile(const std::string& path, const std::string& content, std::string& why);

} // namespace Busprobe
