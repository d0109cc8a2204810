// Plain-words explanations of a failed port open in English, Simplified and Traditional Chinese.
#include "comm32_reason.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>
#include <system_error>
#include <utility>

namespace KestroComm32 {

namespace {

// Templates; {device}, {group}, {alias}, {link}, {folder}, {target}, {program}, {pid}, {usbid} and
// {system} are filled in.
struct TReasonTexts {
    const char* Access;
    const char* AccessNoGroup;
    const char* Busy;
    const char* BusyHeld;
    const char* BusyModemManager;
    const char* Missing;
    const char* AliasDangling;
    const char* AliasMissing;
    const char* AliasNotFollowed;
    const char* NotSerial;
    const char* IoError;
    const char* Brltty;
    const char* Other;
};

const TReasonTexts English = {
    "You may not open {device}: it belongs to the group \"{group}\". Join that group with "
    "\"sudo adduser $USER {group}\", then log out and log in again.",
    "You may not open {device}, and no group gives access to it. Ask the administrator of this "
    "computer to let you use the device.",
    "{device} is in use by another program. Close the program that holds the port (or end its "
    "connection), then try again.",
    "{device} is in use by the program \"{program}\" (process {pid}). Close that program (or end its "
    "connection), then try again.",
    "{device} is in use by ModemManager (process {pid}), which tries every new serial device as a "
    "modem. Stop it with \"sudo systemctl stop ModemManager\", or keep it off this adapter for good "
    "with a udev rule that sets ENV{ID_MM_DEVICE_IGNORE}=\"1\" for it, then try again.",
    "{device} does not exist: the adapter is unplugged, or the port now has another name. Plug the "
    "adapter in and choose the port again.",
    "{alias} is a name in the port map: {link} points to {target}, which does not exist. The adapter "
    "is unplugged, or the link must be changed to point to the adapter's current device.",
    "{alias} has no link in the port map, so {device} was tried, and it does not exist. Plug the "
    "adapter in, or make {alias} point to it: ln -s /dev/ttyUSB0 {link}",
    "{alias} is not used: {link} or its folder {folder} can be changed by another user, who could point "
    "it at a device of theirs. The port map folder must belong to you (or root) and be writable by you "
    "alone, and its links must be yours: \"chmod go-w {folder}\", and remove links you did not make.",
    "{device} is not a serial port. Choose the device of the serial adapter (for example /dev/ttyUSB0).",
    "{device} does not respond (input/output error): the adapter was removed or has failed. Plug it "
    "in again and reopen the port.",
    "{device} is taken by brltty (process {pid}), a service for braille displays that claims USB serial "
    "adapters of this kind ({usbid}), so the port vanishes. If nobody here uses a braille display, "
    "remove it with \"sudo apt remove brltty\"; otherwise disable its udev rule for {usbid} "
    "(85-brltty.rules under /usr/lib/udev/rules.d). Then plug the adapter in again.",
    "The system reported: {system} ({device}).",
};

const TReasonTexts SimplifiedChinese = {
    "没有权限打开 {device}：该设备属于“{group}”组。请用命令“sudo adduser $USER {group}”加入该组，"
    "然后注销并重新登录。",
    "没有权限打开 {device}，也没有可以加入的用户组能获得访问权限。请让本机管理员允许您使用该设备。",
    "{device} 正被另一个程序使用。请关闭占用该串口的程序（或断开其连接）后重试。",
    "{device} 正被程序“{program}”（进程 {pid}）使用。请关闭该程序（或断开其连接）后重试。",
    "{device} 正被 ModemManager（进程 {pid}）占用，它会把每个新接入的串口设备当作调制解调器探测。"
    "请用命令“sudo systemctl stop ModemManager”停止该服务，或添加一条为该适配器设置 "
    "ENV{ID_MM_DEVICE_IGNORE}=\"1\" 的 udev 规则，让它不再占用该适配器，然后重试。",
    "{device} 不存在：适配器已拔出，或串口已改名。请插好适配器，然后重新选择串口。",
    "{alias} 是端口映射中的名称：{link} 指向 {target}，但它不存在。适配器已拔出，"
    "或需要把该链接改为指向适配器现在的设备。",
    "端口映射中没有 {alias} 的链接，因此尝试了 {device}，但它不存在。请插好适配器，"
    "或为 {alias} 建立链接：ln -s /dev/ttyUSB0 {link}",
    "{alias} 未被使用：{link} 或其所在文件夹 {folder} 可被其他用户修改，他人可借此把它指向自己的设备。"
    "端口映射文件夹必须属于您（或 root）且只有您可写，其中的链接也必须是您的：请执行“chmod go-w {folder}”，"
    "并删除不是您建立的链接。",
    "{device} 不是串口设备。请选择串口适配器对应的设备（例如 /dev/ttyUSB0）。",
    "{device} 没有响应（输入/输出错误）：适配器已被拔出或出现故障。请重新插好适配器，再打开串口。",
    "{device} 被 brltty（进程 {pid}）占用：这是盲文显示器服务，它会占用这类 USB 串口适配器（{usbid}），"
    "串口因此消失。如果本机没有人使用盲文显示器，请用命令“sudo apt remove brltty”卸载它；否则请禁用它"
    "针对 {usbid} 的 udev 规则（/usr/lib/udev/rules.d 下的 85-brltty.rules）。然后重新插好适配器。",
    "系统报告：{system}（{device}）。",
};

const TReasonTexts TraditionalChinese = {
    "沒有權限開啟 {device}：該裝置屬於「{group}」群組。請用命令「sudo adduser $USER {group}」加入該群組，"
    "然後登出並重新登入。",
    "沒有權限開啟 {device}，也沒有可加入的群組能取得存取權限。請讓本機管理員允許您使用該裝置。",
    "{device} 正被另一個程式使用。請關閉佔用該序列埠的程式（或中斷其連線）後重試。",
    "{device} 正被程式「{program}」（處理程序 {pid}）使用。請關閉該程式（或中斷其連線）後重試。",
    "{device} 正被 ModemManager（處理程序 {pid}）佔用，它會把每個新接上的序列埠裝置當作數據機探測。"
    "請用命令「sudo systemctl stop ModemManager」停止該服務，或新增一條為該轉接器設定 "
    "ENV{ID_MM_DEVICE_IGNORE}=\"1\" 的 udev 規則，讓它不再佔用該轉接器，然後重試。",
    "{device} 不存在：轉接器已拔除，或序列埠已改名。請插好轉接器，然後重新選擇序列埠。",
    "{alias} 是埠對應中的名稱：{link} 指向 {target}，但它不存在。轉接器已拔除，"
    "或需要把該連結改為指向轉接器現在的裝置。",
    "埠對應中沒有 {alias} 的連結，因此嘗試了 {device}，但它不存在。請插好轉接器，"
    "或為 {alias} 建立連結：ln -s /dev/ttyUSB0 {link}",
    "{alias} 未被使用：{link} 或其所在資料夾 {folder} 可被其他使用者修改，他人可藉此把它指向自己的裝置。"
    "埠對應資料夾必須屬於您（或 root）且只有您可寫入，其中的連結也必須是您的：請執行「chmod go-w {folder}」，"
    "並刪除不是您建立的連結。",
    "{device} 不是序列埠裝置。請選擇序列埠轉接器對應的裝置（例如 /dev/ttyUSB0）。",
    "{device} 沒有回應（輸入/輸出錯誤）：轉接器已被拔除或發生故障。請重新插好轉接器，再開啟序列埠。",
    "{device} 被 brltty（處理程序 {pid}）佔用：這是點字顯示器服務，它會佔用這類 USB 序列埠轉接器（{usbid}），"
    "序列埠因此消失。如果本機沒有人使用點字顯示器，請用命令「sudo apt remove brltty」移除它；否則請停用它"
    "針對 {usbid} 的 udev 規則（/usr/lib/udev/rules.d 下的 85-brltty.rules）。然後重新插好轉接器。",
    "系統回報：{system}（{device}）。",
};

const TReasonTexts& TextsFor(unsigned long lcid)
{
    if (lcid == 2052) return SimplifiedChinese;
    if (lcid == 1028) return TraditionalChinese;
    return English;
}

// One pass over the template, so a value that itself holds "{...}" is never expanded again.
UnicodeString Fill(const char* text, std::initializer_list<std::pair<const char*, UnicodeString>> values)
{
    const UnicodeString t = text;
    UnicodeString out;
    std::size_t i = 0;
    while (i < t.size()) {
        bool replaced = false;
        if (t[i] == '{') {
            for (const auto& [key, value] : values) {
                const std::size_t len = std::strlen(key);
                if (t.compare(i, len, key) == 0) {
                    out += value;
                    i += len;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += t[i++];
    }
    return out;
}

UnicodeString SystemText(int error) { return std::generic_category().message(error); }

// A device that is gone, or busy with no other program named: what brltty taking it looks like.
bool BrlttyMayExplain(const TSystemReason& r)
{
    switch (r.Error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case EIO: return true;
    case EBUSY:
    case EWOULDBLOCK: return r.HolderPid <= 0 || r.HolderName == "brltty";
    default: return false;
    }
}

} // namespace

UnicodeString TSystemReason::Device() const { return AliasTarget.empty() ? DevicePath : AliasTarget; }

UnicodeString ExplainOpenFailure(const TSystemReason& r, unsigned long lcid)
{
    if (!r.Known()) return UnicodeString();
    const TReasonTexts& texts = TextsFor(lcid);
    const UnicodeString device = r.Device();
    auto fill = [&](const char* text) {
        return Fill(text, {{"{device}", device},
                           {"{group}", r.AccessGroup},
                           {"{alias}", r.AliasName},
                           {"{link}", r.AliasLink},
                           {"{folder}", r.AliasLink.substr(0, r.AliasLink.find_last_of('/'))},
                           {"{target}", r.AliasTarget},
                           {"{program}", r.HolderName},
                           {"{pid}", std::to_string(r.BrlttyPid > 0 ? r.BrlttyPid : r.HolderPid)},
                           {"{usbid}", r.BrlttyUsbId},
                           {"{system}", r.SystemText.empty() ? SystemText(r.Error) : r.SystemText}});
    };
    if (r.AliasNotFollowed) return fill(texts.AliasNotFollowed);
    if (r.BrlttyPid > 0 && BrlttyMayExplain(r)) return fill(texts.Brltty);
    switch (r.Error) {
    case EACCES:
    case EPERM: return fill(r.AccessGroup.empty() ? texts.AccessNoGroup : texts.Access);
    case EBUSY:
    case EWOULDBLOCK: // the lock that keeps a port to one opener
        if (r.HolderPid <= 0 || r.HolderName.empty()) return fill(texts.Busy);
        return fill(r.HolderName == "ModemManager" ? texts.BusyModemManager : texts.BusyHeld);
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        if (!r.AliasName.empty() && r.AliasDangling) return fill(texts.AliasDangling);
        if (!r.AliasName.empty() && r.AliasTarget.empty() && !r.AliasLink.empty()) return fill(texts.AliasMissing);
        return fill(texts.Missing);
    case ENOTTY:
    case EISDIR: return fill(texts.NotSerial);
    case EIO: return fill(texts.IoError);
    default: return fill(texts.Other);
    }
}

} // namespace KestroComm32
