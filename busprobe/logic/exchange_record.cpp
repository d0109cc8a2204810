// The exchange record: verdicts, rows, counters and the CSV file.
#include "exchange_record.h"

#include "crc16.h"
#include "modbus_exception.h"
#include "modbus_request.h"
#include "receive_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <ostream>

namespace Busprobe {

namespace {

int Word(const std::uint8_t* at) { return at[0] << 8 | at[1]; }

bool CrcValid(const std::uint8_t* bytes, int count)
{
    if (count < 3) return false;
    const std::uint16_t crc = CRC16(bytes, static_cast<std::uint16_t>(count - 2));
    return bytes[count - 2] == static_cast<std::uint8_t>(crc >> 8) &&
           bytes[count - 1] == static_cast<std::uint8_t>(crc);
}

std::tm LocalTime(std::time_t t)
{
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    return tm;
}

// Seconds from 1970 of a broken-down time read as UTC (days from the civil calendar).
long long AsUtcSeconds(const std::tm& tm)
{
    long long y = tm.tm_year + 1900;
    const int m = tm.tm_mon + 1;
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + tm.tm_mday - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long days = era * 146097 + doe - 719468;
    return days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

struct TSplitTime {
    std::tm Local;
    int Millis;
    long long Seconds;
};

TSplitTime Split(TExchangeRecord::TWall time)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    long long seconds = ms / 1000;
    int millis = static_cast<int>(ms % 1000);
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    return {LocalTime(static_cast<std::time_t>(seconds)), millis, seconds};
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

std::string VerdictText(const TVerdict& verdict)
{
    switch (verdict.Kind) {
    case TVerdictKind::Good: return "CRC 正确";
    case TVerdictKind::CrcError: return "CRC错误";
    case TVerdictKind::ForeignAddress: return "从站地址不符";
    case TVerdictKind::ForeignFunction: return "功能码不符";
    case TVerdictKind::Short: return "应答过短";
    case TVerdictKind::NoReply: return "无应答";
    case TVerdictKind::Unrequested: return "无对应请求";
    case TVerdictKind::Exception: break;
    }
    char code[8];
    std::snprintf(code, sizeof code, "%02X", verdict.ExceptionCode & 0xFF);
    const char* const name = ModbusExceptionName(verdict.ExceptionCode);
    return "异常 " + std::string(code) + (name != nullptr ? std::string(" ") + name : std::string());
}

int ExpectedReplyLength(const std::uint8_t* request, int length)
{
    if (length < 6) return 0;
    const int quantity = Word(&request[4]);
    switch (request[1]) {
    case 0x01:
    case 0x02: return 5 + (quantity + 7) / 8;
    case 0x03:
    case 0x04: return 5 + 2 * quantity;
    case 0x05:
    case 0x06:
    case 0x10: return 8;
    default: return 0;
    }
}

TVerdict JudgeReply(const std::uint8_t* request, int requestLength, const std::uint8_t* reply, int replyLength)
{
    const bool knowsAddress = requestLength >= 1;
    const bool knowsFunction = requestLength >= 2;
    const bool sameAddress = !knowsAddress || (replyLength >= 1 && reply[0] == request[0]);
    const bool sameFunction = !knowsFunction || (replyLength >= 2 && reply[1] == request[1]);
    const bool exception = knowsFunction && replyLength >= 2 && reply[1] == (request[1] | 0x80);
    const int expected = exception ? 5 : ExpectedReplyLength(request, requestLength);
    // Address, function code and CRC take 4 bytes; a reply of our slave and function cut before what it
    // owes is short, whatever its last two bytes say.
    if (replyLength < 4 || (sameAddress && (sameFunction || exception) && replyLength < expected))
        return {TVerdictKind::Short, 0};
    if (!CrcValid(reply, replyLength)) return {TVerdictKind::CrcError, 0};
    if (!sameAddress) return {TVerdictKind::ForeignAddress, 0};
    if (exception) return {TVerdictKind::Exception, replyLength >= 5 ? reply[2] : 0};
    if (!sameFunction) return {TVerdictKind::ForeignFunction, 0};
    return {TVerdictKind::Good, 0};
}

void TExchangeRecord::Sent(const std::uint8_t* bytes, int count, std::uint32_t tick, TWall time)
{
    RowList.push_back({time, TDirection::Request, {bytes, bytes + count}, -1, "", false});
    ++Count.Requests;
    if (count >= 2 && bytes[0] != 0) Waiting.push_back({{bytes, bytes + count}, tick});
}

void TExchangeRecord::WriteFailed(const std::uint8_t* bytes, int count, int written, TWall time)
{
    RowList.push_back({time, TDirection::Request, {bytes, bytes + count}, -1, WriteFailedText(written, count), true});
}

void TExchangeRecord::Received(const std::uint8_t* bytes, int count, std::uint32_t lastTick, TWall time)
{
    TRecordRow row{time, TDirection::Reply, {bytes, bytes + count}, -1, "", false};
    if (Waiting.empty()) {
        row.Verdict = VerdictText({TVerdictKind::Unrequested, 0});
        RowList.push_back(std::move(row));
        return;
    }
    const TWaiting request = std::move(Waiting.front());
    Waiting.pop_front();
    const TVerdict verdict = JudgeReply(request.Request.data(), static_cast<int>(request.Request.size()), bytes, count);
    row.Verdict = VerdictText(verdict);
    row.RoundTripMs = static_cast<int>(TicksSince(request.Tick, lastTick));
    if (verdict.Kind == TVerdictKind::Good) ++Count.Good;
    if (verdict.Kind == TVerdictKind::CrcError) ++Count.CrcErrors;
    if (verdict.Kind == TVerdictKind::Exception) ++Count.Exceptions;
    if (Count.RoundTrips == 0 || row.RoundTripMs < Count.RoundTripMin) Count.RoundTripMin = row.RoundTripMs;
    if (Count.RoundTrips == 0 || row.RoundTripMs > Count.RoundTripMax) Count.RoundTripMax = row.RoundTripMs;
    ++Count.RoundTrips;
    Count.RoundTripSum += row.RoundTripMs;
    RowList.push_back(std::move(row));
}

bool TExchangeRecord::CheckTimeouts(std::uint32_t tick, std::uint32_t timeoutMs, TWall time)
{
    bool any = false;
    while (!Waiting.empty() && TicksSince(Waiting.front().Tick, tick) > timeoutMs) {
        Waiting.pop_front();
        RowList.push_back({time, TDirection::Reply, {}, -1, VerdictText({TVerdictKind::NoReply, 0}), false});
        ++Count.NoReply;
        any = true;
    }
    return any;
}

std::string WriteFailedText(int written, int count)
{
    return "发送失败：串口只接受了 " + std::to_string(written < 0 ? 0 : written) + "/" + std::to_string(count) +
           " 字节";
}

std::string ClockText(TExchangeRecord::TWall time)
{
    const TSplitTime t = Split(time);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t.Local.tm_hour, t.Local.tm_min, t.Local.tm_sec, t.Millis);
    return text;
}

std::string IsoTime(TExchangeRecord::TWall time)
{
    const TSplitTime t = Split(time);
    const long long offset = AsUtcSeconds(t.Local) - t.Seconds;
    const long long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02lld:%02lld", t.Local.tm_year + 1900,
                  t.Local.tm_mon + 1, t.Local.tm_mday, t.Local.tm_hour, t.Local.tm_min, t.Local.tm_sec, t.Millis,
                  offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

const char* DirectionText(TDirection direction) { return direction == TDirection::Request ? "发送" : "接收"; }

void WriteCsv(std::ostream& out, const std::deque<TRecordRow>& rows)
{
    out << "\xEF\xBB\xBF"
        << "时间,方向,数据,往返时间(ms),结论\r\n";
    for (const TRecordRow& row : rows) {
        std::string bytes = HexLine(row.Bytes.data(), static_cast<int>(row.Bytes.size()));
        if (!bytes.empty()) bytes.pop_back();
        out << IsoTime(row.Time) << ',' << DirectionText(row.Direction) << ',' << bytes << ','
            << (row.RoundTripMs >= 0 ? std::to_string(row.RoundTripMs) : "") << ',' << CsvField(row.Verdict) << "\r\n";
    }
}

bool WriteTextFile(const std::string& path, const std::string& content, std::string& why)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (out) out.close();
    if (out) return true;
    const int error = errno;
    why = error != 0 ? std::strerror(error) : "write error";
    return false;
}

} // namespace Busprobe
