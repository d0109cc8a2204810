// The serial library's exception, its error codes and the choice of message language.
#pragma once

#include "comm32_reason.h"
#include "comm32_types.h"

namespace KestroComm32 {

// What failed; 0 is not used. A value outside 1..14 is accepted and reads as an unknown error.
enum TErrorCode : int {
    ecOutOfMemory = 1,
    ecInitReadBuffer,
    ecInitWriteBuffer,
    ecOpenPort,
    ecSetCommMask,
    ecSetupComm,
    ecGetCommState,
    ecSetCommState,
    ecCreateReadEvent,
    ecCreateWriteEvent,
    ecCreateReadThread,
    ecCreateWriteThread,
    ecCloseReadThread,
    ecCloseWriteThread,
};

// Message text is built at construction in the language of the throwing thread's locale.
class EComm32Error : public Exception {
public:
    // No port name: the message has no prefix.
    explicit EComm32Error(TErrorCode code);
    EComm32Error(TErrorCode code, const UnicodeString& portName);
    // The same message, with what the system said; the explanation is built in the same language.
    EComm32Error(TErrorCode code, const UnicodeString& portName, const TSystemReason& reason);

    TErrorCode ErrorCode;
    UnicodeString PortName;
    TSystemReason Reason;      // Error 0 when the system gave no reason
    UnicodeString Explanation; // Reason in plain words (ExplainOpenFailure); empty when none

    // The finished text for a code and a port name in the language of lcid (used by the constructors).
    static UnicodeString BuildMessage(TErrorCode code, const UnicodeString& portName, unsigned long lcid);
};

// The library's language: a Windows locale id (2052 Simplified Chinese, 1028 Traditional, else English).
class TComm32Language {
public:
    TComm32Language(); // takes GetThreadLocale(), 1033 when that is 0
    unsigned long LcId;
    void fSetLcId(unsigned long lcid);
};

// Per-thread locale id standing in for the Windows call. Until a thread sets one it follows the
// environment: the first non-empty of LC_ALL, LC_MESSAGES, LANG; zh_CN 2052, zh_TW 1028, zh_HK 3076,
// zh_SG 4100, ja_JP 1041, anything else 1033.
unsigned long GetThreadLocale();
// Sets the calling thread's locale id; 0 returns the thread to following the environment.
void SetThreadLocale(unsigned long lcid);
// The locale id that a locale name such as "zh_CN.UTF-8" maps to (1033 for unknown or empty names).
unsigned long LocaleIdFromName(const UnicodeString& name);

} // namespace KestroComm32
