// Message tables of the serial library in English, Simplified and Traditional Chinese.
#include "comm32_error.h"

#include <cstdlib>

namespace KestroComm32 {

namespace {

struct TMsgRow {
    int Code;
    const char* Text; // nullptr ends the table
};

const TMsgRow EnglishTable[] = {
    {1, "Out of memory"},
    {2, "Cannot initialize read buffer"},
    {3, "Cannot initialize write buffer"},
    {4, "Cannot open COM port"},
    {5, "Cannot set comm-mask"},
    {6, "Cannot set COM port buffer size"},
    {7, "Cannot read COM port parameters"},
    {8, "Cannot set COM port parameters"},
    {9, "Cannot create COM port asynchronize read event"},
    {10, "Cannot create COM port asynchronize write event"},
    {11, "Cannot create COM port read thread"},
    {12, "Cannot create COM port write thread"},
    {13, "Cannot close COM port read thread"},
    {14, "Cannot close COM port write thread"},
    {0, nullptr},
};

const TMsgRow SimplifiedChineseTable[] = {
    {1, "内存不够"},
    {2, "不能初始化读缓存"},
    {3, "不能初始化写缓存"},
    {4, "不能打开串行口"},
    {5, "不能设置串行口事件MASK"},
    {6, "不能设置串行口缓存"},
    {7, "不能得到串行口参数"},
    {8, "不能设置串行口参数"},
    {9, "不能创建串行口异步读事件"},
    {10, "不能创建串行口异步写事件"},
    {11, "不能创建串行口读线程"},
    {12, "不能创建串行口写线程"},
    {13, "不能关闭串行口读线程"},
    {14, "不能关闭串行口写线程"},
    {0, nullptr},
};

const TMsgRow TraditionalChineseTable[] = {
    {1, "記憶體不夠"},
    {2, "不能初始化讀緩存"},
    {3, "不能初始化寫緩存"},
    {4, "不能打開序列埠"},
    {5, "不能設置序列埠事件MASK"},
    {6, "不能設置序列埠緩存"},
    {7, "不能得到序列埠參數"},
    {8, "不能設置序列埠參數"},
    {9, "不能創建序列埠非同步讀事件"},
    {10, "不能創建序列埠非同步寫事件"},
    {11, "不能創建序列埠讀執行緒"},
    {12, "不能創建序列埠寫執行緒"},
    {13, "不能關閉序列埠讀執行緒"},
    {14, "不能關閉序列埠寫執行緒"},
    {0, nullptr},
};

struct TLanguageTexts {
    const TMsgRow* Table;
    const char* PrefixHead; // the prefix is head + port name + tail
    const char* PrefixTail;
    const char* Unknown;
};

const TLanguageTexts English = {EnglishTable, "Serial port: \"", "\" - ", "Unknown error"};
const TLanguageTexts SimplifiedChinese = {SimplifiedChineseTable, "串行口:“", "”- ", "未知错误"};
const TLanguageTexts TraditionalChinese = {TraditionalChineseTable, "序列埠:『", "』- ", "未知錯誤"};

const TLanguageTexts& TextsFor(unsigned long lcid)
{
    if (lcid == 2052) return SimplifiedChinese;
    if (lcid == 1028) return TraditionalChinese;
    return English;
}

// 0 means the thread has not chosen a locale and follows the environment.
thread_local unsigned long ThreadLcId = 0;

} // namespace

UnicodeString EComm32Error::BuildMessage(TErrorCode code, const UnicodeString& portName, unsigned long lcid)
{
    const TLanguageTexts& texts = TextsFor(lcid);
    UnicodeString message;
    if (!portName.empty()) {
        // The name is inserted as text, never used as a format, so '%' in a name is harmless.
        message = texts.PrefixHead;
        message += portName;
        message += texts.PrefixTail;
    }
    const char* text = texts.Unknown;
    for (const TMsgRow* row = texts.Table; row->Text != nullptr; ++row) {
        if (row->Code == static_cast<int>(code)) {
            text = row->Text;
            break;
        }
    }
    message += text;
    return message;
}

EComm32Error::EComm32Error(TErrorCode code)
    : Exception(BuildMessage(code, UnicodeString(), TComm32Language().LcId)), ErrorCode(code)
{}

EComm32Error::EComm32Error(TErrorCode code, const UnicodeString& portName)
    : Exception(BuildMessage(code, portName, TComm32Language().LcId)), ErrorCode(code), PortName(portName)
{}

EComm32Error::EComm32Error(TErrorCode code, const UnicodeString& portName, const TSystemReason& reason)
    : EComm32Error(code, portName)
{
    Reason = reason;
    Explanation = ExplainOpenFailure(reason, TComm32Language().LcId);
}

TComm32Language::TComm32Language() : LcId(GetThreadLocale())
{
    if (LcId == 0) LcId = 1033;
}

void TComm32Language::fSetLcId(unsigned long lcid) { LcId = lcid; }

unsigned long LocaleIdFromName(const UnicodeString& name)
{
    // Only language and territory count: "zh_CN.UTF-8" and "zh_CN@stroke" are zh_CN.
    const UnicodeString base = name.substr(0, name.find_first_of(".@"));
    if (base == "zh_CN") return 2052;
    if (base == "zh_TW") return 1028;
    if (base == "zh_HK") return 3076;
    if (base == "zh_SG") return 4100;
    if (base == "ja_JP") return 1041;
    return 1033;
}

unsigned long GetThreadLocale()
{
    if (ThreadLcId != 0) return ThreadLcId;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value != nullptr && *value != '\0') return LocaleIdFromName(value);
    }
    return 1033;
}

void SetThreadLocale(unsigned long lcid) { ThreadLcId = lcid; }

} // namespace KestroComm32
