// Exception texts and their language, and the port name/number mapping and order.
#include "comm32_error.h"
#include "comm32_portinfo.h"
#include "scoped_env.h"

#include <gtest/gtest.h>

#include <thread>

using namespace KestroComm32;

namespace {

class ScopedLocale {
public:
    explicit ScopedLocale(unsigned long lcid) { SetThreadLocale(lcid); }
    ~ScopedLocale() { SetThreadLocale(0); }
};

UnicodeString MessageOf(TErrorCode code, const char* port, unsigned long lcid)
{
    ScopedLocale locale(lcid);
    if (port == nullptr) return EComm32Error(code).Message;
    return EComm32Error(code, port).Message;
}

} // namespace

TEST(Comm32Error, OpenFailureInEachLanguage)
{
    EXPECT_EQ(MessageOf(ecOpenPort, "COM9", 1033), "Serial port: \"COM9\" - Cannot open COM port");
    EXPECT_EQ(MessageOf(ecOpenPort, "COM9", 2052), "串行口:“COM9”- 不能打开串行口");
    EXPECT_EQ(MessageOf(ecOpenPort, "COM9", 1028), "序列埠:『COM9』- 不能打開序列埠");
    // Other Chinese and Japanese locales fall back to English.
    EXPECT_EQ(MessageOf(ecOpenPort, "COM9", 1041), "Serial port: \"COM9\" - Cannot open COM port");
    EXPECT_EQ(MessageOf(ecOpenPort, "COM9", 3076), "Serial port: \"COM9\" - Cannot open COM port");
    EXPECT_EQ(MessageOf(ecOpenPort, "COM9", 4100), "Serial port: \"COM9\" - Cannot open COM port");
}

TEST(Comm32Error, CarriesCodeAndPortName)
{
    ScopedLocale locale(1033);
    const EComm32Error e(ecSetCommState, "/dev/ttyUSB0");
    EXPECT_EQ(e.ErrorCode, ecSetCommState);
    EXPECT_EQ(e.PortName, "/dev/ttyUSB0");
    EXPECT_STREQ(e.what(), "Serial port: \"/dev/ttyUSB0\" - Cannot set COM port parameters");
    // Caught through the base class, the text is the same.
    try {
        throw EComm32Error(ecCloseWriteThread, "COM1");
    } catch (const Exception& base) {
        EXPECT_EQ(base.Message, "Serial port: \"COM1\" - Cannot close COM port write thread");
    }
}

TEST(Comm32Error, EveryCodeHasItsOwnTextInEveryLanguage)
{
    const char* english[] = {"Out of memory",
                             "Cannot initialize read buffer",
                             "Cannot initialize write buffer",
                             "Cannot open COM port",
                             "Cannot set comm-mask",
                             "Cannot set COM port buffer size",
                             "Cannot read COM port parameters",
                             "Cannot set COM port parameters",
                             "Cannot create COM port asynchronize read event",
                             "Cannot create COM port asynchronize write event",
                             "Cannot create COM port read thread",
                             "Cannot create COM port write thread",
                             "Cannot close COM port read thread",
                             "Cannot close COM port write thread"};
    const char* simplified[] = {"内存不够",
                                "不能初始化读缓存",
                                "不能初始化写缓存",
                                "不能打开串行口",
                                "不能设置串行口事件MASK",
                                "不能设置串行口缓存",
                                "不能得到串行口参数",
                                "不能设置串行口参数",
                                "不能创建串行口异步读事件",
                                "不能创建串行口异步写事件",
                                "不能创建串行口读线程",
                                "不能创建串行口写线程",
                                "不能关闭串行口读线程",
                                "不能关闭串行口写线程"};
    const char* traditional[] = {"記憶體不夠",
                                 "不能初始化讀緩存",
                                 "不能初始化寫緩存",
                                 "不能打開序列埠",
                                 "不能設置序列埠事件MASK",
                                 "不能設置序列埠緩存",
                                 "不能得到序列埠參數",
                                 "不能設置序列埠參數",
                                 "不能創建序列埠非同步讀事件",
                                 "不能創建序列埠非同步寫事件",
                                 "不能創建序列埠讀執行緒",
                                 "不能創建序列埠寫執行緒",
                                 "不能關閉序列埠讀執行緒",
                                 "不能關閉序列埠寫執行緒"};
    for (int code = 1; code <= 14; ++code) {
        const auto c = static_cast<TErrorCode>(code);
        EXPECT_EQ(MessageOf(c, nullptr, 1033), english[code - 1]) << code;
        EXPECT_EQ(MessageOf(c, nullptr, 2052), simplified[code - 1]) << code;
        EXPECT_EQ(MessageOf(c, nullptr, 1028), traditional[code - 1]) << code;
    }
}

TEST(Comm32Error, UnknownCodeAndEmptyName)
{
    const auto unknown = static_cast<TErrorCode>(99);
    EXPECT_EQ(MessageOf(unknown, "COM2", 1033), "Serial port: \"COM2\" - Unknown error");
    EXPECT_EQ(MessageOf(unknown, "COM2", 2052), "串行口:“COM2”- 未知错误");
    EXPECT_EQ(MessageOf(unknown, "COM2", 1028), "序列埠:『COM2』- 未知錯誤");
    EXPECT_EQ(MessageOf(static_cast<TErrorCode>(0), nullptr, 1033), "Unknown error");
    // An empty name, given or not, means no prefix at all.
    EXPECT_EQ(MessageOf(ecOpenPort, "", 1033), "Cannot open COM port");
    EXPECT_EQ(MessageOf(ecOutOfMemory, nullptr, 2052), "内存不够");
    ScopedLocale locale(1033);
    EXPECT_TRUE(EComm32Error(ecOutOfMemory).PortName.empty());
}

TEST(Comm32Error, PercentInPortNameIsPlainText)
{
    EXPECT_EQ(MessageOf(ecOpenPort, "%s%n%d", 1033), "Serial port: \"%s%n%d\" - Cannot open COM port");
}

TEST(Comm32Language, FollowsEnvironmentUntilThreadSetsOne)
{
    ScopedEnv all("LC_ALL", nullptr);
    ScopedEnv messages("LC_MESSAGES", nullptr);
    ScopedEnv lang("LANG", "zh_CN.UTF-8");
    SetThreadLocale(0);
    EXPECT_EQ(GetThreadLocale(), 2052u);
    EXPECT_EQ(TComm32Language().LcId, 2052u);
    EXPECT_EQ(EComm32Error(ecOpenPort, "COM9").Message, "串行口:“COM9”- 不能打开串行口");
    {
        ScopedEnv m("LC_MESSAGES", "zh_TW.UTF-8");
        EXPECT_EQ(GetThreadLocale(), 1028u);
        ScopedEnv a("LC_ALL", "ja_JP.eucJP");
        EXPECT_EQ(GetThreadLocale(), 1041u);
    }
    {
        // An empty variable is skipped, as the C library does.
        ScopedEnv a("LC_ALL", "");
        EXPECT_EQ(GetThreadLocale(), 2052u);
    }
    SetThreadLocale(1028);
    EXPECT_EQ(GetThreadLocale(), 1028u);
    // Another thread still follows the environment.
    unsigned long other = 0;
    std::thread([&] { other = GetThreadLocale(); }).join();
    EXPECT_EQ(other, 2052u);
    SetThreadLocale(0);
    EXPECT_EQ(GetThreadLocale(), 2052u);

    ScopedEnv c("LANG", "C.UTF-8");
    EXPECT_EQ(GetThreadLocale(), 1033u);
    ScopedEnv none("LANG", nullptr);
    EXPECT_EQ(GetThreadLocale(), 1033u);
}

TEST(Comm32Language, NamesToIds)
{
    EXPECT_EQ(LocaleIdFromName("zh_CN"), 2052u);
    EXPECT_EQ(LocaleIdFromName("zh_CN.GB18030"), 2052u);
    EXPECT_EQ(LocaleIdFromName("zh_TW.UTF-8"), 1028u);
    EXPECT_EQ(LocaleIdFromName("zh_HK.UTF-8"), 3076u);
    EXPECT_EQ(LocaleIdFromName("zh_SG"), 4100u);
    EXPECT_EQ(LocaleIdFromName("ja_JP.UTF-8"), 1041u);
    EXPECT_EQ(LocaleIdFromName("zh"), 1033u);
    EXPECT_EQ(LocaleIdFromName("zh_CNX"), 1033u);
    EXPECT_EQ(LocaleIdFromName("en_US.UTF-8"), 1033u);
    EXPECT_EQ(LocaleIdFromName("POSIX"), 1033u);

    TComm32Language language;
    language.fSetLcId(1028);
    EXPECT_EQ(language.LcId, 1028u);
}

TEST(CommSerialPortInfo, PortNoAcceptsOnlyComWithANumber)
{
    using P = TCommSerialPortInfo;
    EXPECT_EQ(P::PortNo("COM5"), 5);
    EXPECT_EQ(P::PortNo("com5"), 5);
    EXPECT_EQ(P::PortNo("cOm12"), 12);
    EXPECT_EQ(P::PortNo("COM05"), 5);
    EXPECT_EQ(P::PortNo("COM 7"), 7);
    EXPECT_EQ(P::PortNo("COM+7"), 7);
    EXPECT_EQ(P::PortNo("COM256"), 256);
    EXPECT_EQ(P::PortNo("COM7 "), 0);
    EXPECT_EQ(P::PortNo("COM0"), 0);
    EXPECT_EQ(P::PortNo("COM-3"), 0);
    EXPECT_EQ(P::PortNo("COMX"), 0);
    EXPECT_EQ(P::PortNo("COM3X"), 0);
    EXPECT_EQ(P::PortNo("COM "), 0);
    EXPECT_EQ(P::PortNo("COM+"), 0);
    EXPECT_EQ(P::PortNo("LPT1"), 0);
    EXPECT_EQ(P::PortNo("COM"), 0);
    EXPECT_EQ(P::PortNo("CO"), 0);
    EXPECT_EQ(P::PortNo(""), 0);
    EXPECT_EQ(P::PortNo("/dev/ttyUSB0"), 0);
    EXPECT_EQ(P::PortNo("ＣOM1"), 0);
    // Beyond int: not a port number rather than a wrapped one.
    EXPECT_EQ(P::PortNo("COM2147483647"), 2147483647);
    EXPECT_EQ(P::PortNo("COM2147483648"), 0);
    EXPECT_EQ(P::PortNo("COM99999999999999999999"), 0);
}

TEST(CommSerialPortInfo, PortNameFormatsPositiveNumbersOnly)
{
    EXPECT_EQ(TCommSerialPortInfo::PortName(1), "COM1");
    EXPECT_EQ(TCommSerialPortInfo::PortName(12), "COM12");
    EXPECT_EQ(TCommSerialPortInfo::PortName(256), "COM256");
    EXPECT_EQ(TCommSerialPortInfo::PortName(0), "");
    EXPECT_EQ(TCommSerialPortInfo::PortName(-1), "");
}

TEST(CommSerialPortInfo, SortPutsNumberedPortsFirstThenNamesOrdinally)
{
    TStringList list;
    for (const char* s : {"ttyUSB0", "COM10", "COM3", "MODEM", "com3", "COM1", "ttyACM0", "COM2", "Z", "a"})
        list.Add(s);
    list.CustomSort(&TCommSerialPortInfo::PortListSortCompare);
    std::vector<std::string> got;
    for (int i = 0; i < list.Count(); ++i) got.push_back(list.Strings(i));
    // COM3 and com3 compare equal and keep their order; upper case sorts before lower case.
    const std::vector<std::string> want = {"COM1",  "COM2", "COM3", "com3",    "COM10",
                                           "MODEM", "Z",    "a",    "ttyACM0", "ttyUSB0"};
    EXPECT_EQ(got, want);

    TStringList pair;
    pair.Add("COM2");
    pair.Add("COM10");
    EXPECT_LT(TCommSerialPortInfo::PortListSortCompare(&pair, 0, 1), 0);
    EXPECT_GT(TCommSerialPortInfo::PortListSortCompare(&pair, 1, 0), 0);
    EXPECT_EQ(TCommSerialPortInfo::PortListSortCompare(&pair, 1, 1), 0);
}
