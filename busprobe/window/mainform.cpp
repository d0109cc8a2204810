// TForm1: layout, request handlers, receive timer and the settings file at start and close.
#include "mainform.h"

#include "comm32_error.h"
#include "lxcommdevice.h"
#include "message_box.h"
#include "modbus_request.h"
#include "record_model.h"
#include "settings_file.h"
#include "value_format.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableView>
#include <QTextCursor>
#include <QTimer>

#include <exception>
#include <sstream>

using namespace Busprobe;

QString TForm1::ExecutableFolder;
std::function<QString(QWidget*, const QString&, const QString&)> TForm1::SaveFileName =
    [](QWidget* owner, const QString& caption, const QString& filter) {
        return QFileDialog::getSaveFileName(owner, caption, QString(), filter);
    };

namespace {

const char* const Str_Caption = "MODBUS调试助手（V1.0）";
const char* const Str_OpenPortFirst = "请首先打开串口!";
const char* const Str_SaveFailed = "无法保存 %1：%2";
const char* const Str_RecordShow = "通信记录 >>";
const char* const Str_RecordHide = "通信记录 <<";
const char* const Str_Repeat = "周期读取";
const char* const Str_RepeatStop = "停止";

// The seed's client area; the record pane lies right of it.
constexpr int BaseWidth = 771;
constexpr int BaseHeight = 642;
constexpr int PaneWidth = 600;
// Narrower than this the pane is no use and goes; wider, it comes.
constexpr int MinPaneWidth = 200;
// How often the receive loop runs while a reply is awaited or a group repeats.
constexpr int ExchangeIntervalMs = 5;

template <class W>
W* Make(QWidget* parent, const char* name, int x, int y, int w, int h)
{
    W* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int x, int y, int w = 80)
{
    QLabel* label = Make<QLabel>(parent, name, x, y, w, 14);
    label->setText(QString::fromUtf8(text));
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* text, int x, int y, int w = 75, int h = 25)
{
    QPushButton* button = Make<QPushButton>(parent, name, x, y, w, h);
    button->setText(QString::fromUtf8(text));
    button->setAutoDefault(false);
    return button;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w, bool rightAligned)
{
    QLineEdit* edit = Make<QLineEdit>(parent, name, x, y, w, 21);
    if (rightAligned) edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return edit;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const char* title, int x, int y, int w, int h)
{
    QGroupBox* group = Make<QGroupBox>(parent, name, x, y, w, h);
    group->setTitle(QString::fromUtf8(title));
    return group;
}

QString Utf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// setText leaves the cursor at the end, and a text wider than its edit then shows only its end.
void SetTextFromStart(QLineEdit* edit, const QString& text)
{
    edit->setText(text);
    edit->setCursorPosition(0);
}

} // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint)
{
    // Design-time state first: the device on COM7, all edits empty.
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf8(Str_Caption));
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("WenQuanYi Zen Hei")});
    font.setPixelSize(11);
    setFont(font);
    // The seed's size at start; larger shows the record pane, smaller would cut controls.
    setMinimumSize(BaseWidth, BaseHeight);
    resize(BaseWidth, BaseHeight);
    move(0, 0);
    CreateControls();

    LxCommDevice1 = new KestroComm32::TLxCommDevice(this);
    LxCommDevice1->setObjectName(QStringLiteral("LxCommDevice1"));
    LxCommDevice1->fSetPortNo(7);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    TimerExchange = new QTimer(this);
    TimerExchange->setObjectName(QStringLiteral("TimerExchange"));
    TimerExchange->setInterval(ExchangeIntervalMs);
    TimerExchange->setTimerType(Qt::PreciseTimer);
    connect(TimerExchange, &QTimer::timeout, this, &TForm1::TimerExchangeTimer);

    // Constructor body: port and speed from the file; a named port (ttyUSB0, a path) by its name.
    {
        const TIniFile ini(SettingsPath(false).toStdString());
        const TPortSettings port = ReadPortSettings(ini);
        LxCommDevice1->fSetPortNo(port.PortNo);
        if (!port.PortName.empty()) LxCommDevice1->fSetPortName(port.PortName);
        LxCommDevice1->fSetBaud(static_cast<KestroComm32::TBaudRate>(port.Baud));
    }
    RefreshLabelPort();
    FormCreate();
    Timer1->start();
}

TForm1::~TForm1() = default;

void TForm1::CreateControls()
{
    CreatePortGroup();
    CreateReadGroups();
    CreateWriteGroups();
    CreateFreeFormGroup();
    CreateLogs();
    CreateVersionLabel();
    ConnectButtons();
}

void TForm1::CreatePortGroup()
{
    GroupBox1 = MakeGroup(this, "GroupBox1", "串口设置", 8, 8, 313, 78);
    Button1 = MakeButton(GroupBox1, "Button1", "设置串口", 8, 18);
    Button4 = MakeButton(GroupBox1, "Button4", "打开串口", 100, 18);
    Button6 = MakeButton(GroupBox1, "Button6", "关闭串口", 192, 18);
    Button6->setEnabled(false);
    LabelPort = MakeLabel(GroupBox1, "LabelPort", "------", 8, 54, 297);
}

void TForm1::CreateReadGroups()
{
    struct ReadGroup {
        QGroupBox*& Box;
        const char* Name;
        const char* Title;
        int X, Y, W, H;
        QLineEdit*& Addr;
        QLineEdit*& Reg;
        QLineEdit*& Num;
        QLineEdit*& Value;
        QPushButton*& Button;
        const char* Prefix;
    };
    ReadGroup reads[] = {
        {GroupBox6, "GroupBox6", "01H指令（读线圈寄存器）", 8, 95, 313, 100, Edit01_485Addr, Edit01_RegAddr,
         Edit01_RegNum, Edit01_RegValue, ButtonSend_01, "01"},
        {GroupBox7, "GroupBox7", "02H指令（读离散输入寄存器）", 8, 201, 313, 98, Edit02_485Addr, Edit02_RegAddr,
         Edit02_RegNum, Edit02_RegValue, ButtonSend_02, "02"},
        {GroupBox2, "GroupBox2", "03H指令（读保持寄存器）", 8, 305, 313, 100, Edit03_485Addr, Edit03_RegAddr,
         Edit03_RegNum, Edit03_RegValue, ButtonSend_03, "03"},
        {GroupBox8, "GroupBox8", "04H指令（读输入寄存器）", 342, 8, 422, 97, Edit04_485Addr, Edit04_RegAddr,
         Edit04_RegNum, Edit04_RegValue, ButtonSend_04, "04"},
    };
    for (ReadGroup& g : reads) {
        const std::string p = g.Prefix;
        g.Box = MakeGroup(this, g.Name, g.Title, g.X, g.Y, g.W, g.H);
        MakeLabel(g.Box, ("Label" + p + "_485Addr").c_str(), "485地址", 8, 18, 60);
        MakeLabel(g.Box, ("Label" + p + "_RegAddr").c_str(), "寄存器地址", 76, 18, 70);
        MakeLabel(g.Box, ("Label" + p + "_RegNum").c_str(), "寄存器个数", 154, 18, 70);
        g.Addr = MakeEdit(g.Box, ("Edit" + p + "_485Addr").c_str(), 8, 35, 60, true);
        g.Reg = MakeEdit(g.Box, ("Edit" + p + "_RegAddr").c_str(), 76, 35, 70, true);
        g.Num = MakeEdit(g.Box, ("Edit" + p + "_RegNum").c_str(), 154, 35, 70, true);
        g.Button = MakeButton(g.Box, ("ButtonSend_" + p).c_str(), "读取", 236, 33, 69);
        MakeLabel(g.Box, ("Label" + p + "_RegValue").c_str(), "寄存器值", 8, 70, 54);
        g.Value = MakeEdit(g.Box, ("Edit" + p + "_RegValue").c_str(), 64, 67, 212, false);
    }
}

void TForm1::CreateWriteGroups()
{
    struct WriteGroup {
        QGroupBox*& Box;
        const char* Name;
        const char* Title;
        int X, Y, H;
        QLineEdit*& Addr;
        QLineEdit*& Reg;
        QLineEdit*& Value;
        QPushButton*& Button;
        const char* Prefix;
        int ValueWidth;
    };
    WriteGroup writes[] = {
        {GroupBox9, "GroupBox9", "05H指令（写单个线圈寄存器）", 342, 111, 74, Edit05_485Addr, Edit05_RegAddr,
         Edit05_RegValue, ButtonSend_05, "05", 100},
        {GroupBox3, "GroupBox3", "06H指令（写单个保持寄存器）", 341, 190, 70, Edit06_485Addr, Edit06_RegAddr,
         Edit06_RegValue, ButtonSend_06, "06", 100},
        {GroupBox4, "GroupBox4", "10H指令（写多个保持寄存器）", 341, 266, 75, Edit10_485Addr, Edit10_RegAddr,
         Edit10_RegValue, ButtonSend_10, "10", 188},
    };
    for (WriteGroup& g : writes) {
        const std::string p = g.Prefix;
        g.Box = MakeGroup(this, g.Name, g.Title, g.X, g.Y, 422, g.H);
        MakeLabel(g.Box, ("Label" + p + "_485Addr").c_str(), "485地址", 8, 18, 55);
        MakeLabel(g.Box, ("Label" + p + "_RegAddr").c_str(), "寄存器地址", 70, 18, 70);
        MakeLabel(g.Box, ("Label" + p + "_RegValue").c_str(), "寄存器值", 148, 18, g.ValueWidth);
        g.Addr = MakeEdit(g.Box, ("Edit" + p + "_485Addr").c_str(), 8, 35, 55, true);
        g.Reg = MakeEdit(g.Box, ("Edit" + p + "_RegAddr").c_str(), 70, 35, 70, true);
        g.Value = MakeEdit(g.Box, ("Edit" + p + "_RegValue").c_str(), 148, 35, g.ValueWidth, true);
        g.Button = MakeButton(g.Box, ("ButtonSend_" + p).c_str(), "发送", 344, 33, 70);
    }
}

void TForm1::CreateFreeFormGroup()
{
    // Ends above the two clear buttons, which stand between it and the memos.
    GroupBox5 = MakeGroup(this, "GroupBox5", "任意指令", 343, 347, 422, 70);
    EditSend = MakeEdit(GroupBox5, "EditSend", 8, 18, 406, false);
    ButtonSend = MakeButton(GroupBox5, "ButtonSend", "发送", 256, 41);
    ButtonSendWithCRC = MakeButton(GroupBox5, "ButtonSendWithCRC", "带CRC发送", 339, 41);
}

void TForm1::CreateLogs()
{
    Label6 = MakeLabel(this, "Label6", "发送缓冲区", 8, 426);
    ButtonClrSendData = MakeButton(this, "ButtonClrSendData", "清空数据", 302, 419, 75, 23);
    MemoSend = Make<QPlainTextEdit>(this, "MemoSend", 8, 444, 369, 170);
    MemoSend->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves on rather than typing into the log.
    MemoSend->setTabChangesFocus(true);
    Label28 = MakeLabel(this, "Label28", "接收缓冲区", 392, 426);
    ButtonClrReceiveData = MakeButton(this, "ButtonClrReceiveData", "清空数据", 686, 419, 75, 23);
    // Not a tab stop; a click still focuses it.
    ButtonClrReceiveData->setFocusPolicy(Qt::ClickFocus);
    MemoReceive = Make<QPlainTextEdit>(this, "MemoReceive", 392, 444, 369, 170);
    MemoReceive->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MemoReceive->setTabChangesFocus(true);
    // The logs are records: an undo (Ctrl+Z) must not take logged lines back out, and an undo history
    // of every logged line would grow beside the text itself.
    MemoSend->setUndoRedoEnabled(false);
    MemoReceive->setUndoRedoEnabled(false);
}

void TForm1::CreateVersionLabel()
{
    Label27 = MakeLabel(this, "Label27", "V1.1", 735, 623, 30);
    Label27->resize(30, 16); // the 12 px font needs more than the 14 px of the other labels
    QFont small;
    small.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("WenQuanYi Zen Hei")});
    small.setPixelSize(12);
    Label27->setFont(small);
    Label27->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Out of the way under the send memo: the window grows to show the record.
    ButtonRecord = MakeButton(this, "ButtonRecord", Str_RecordShow, 8, 618, 90, 21);
    ButtonRecord->setFlat(true);
}

void TForm1::ConnectButtons()
{
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
    connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
    connect(ButtonSend_01, &QPushButton::clicked, this, &TForm1::ButtonSend_01Click);
    connect(ButtonSend_02, &QPushButton::clicked, this, &TForm1::ButtonSend_02Click);
    connect(ButtonSend_03, &QPushButton::clicked, this, &TForm1::ButtonSend_03Click);
    connect(ButtonSend_04, &QPushButton::clicked, this, &TForm1::ButtonSend_04Click);
    connect(ButtonSend_05, &QPushButton::clicked, this, &TForm1::ButtonSend_05Click);
    connect(ButtonSend_06, &QPushButton::clicked, this, &TForm1::ButtonSend_06Click);
    connect(ButtonSend_10, &QPushButton::clicked, this, &TForm1::ButtonSend_10Click);
    connect(ButtonSend, &QPushButton::clicked, this, &TForm1::ButtonSendClick);
    connect(ButtonSendWithCRC, &QPushButton::clicked, this, &TForm1::ButtonSendWithCRCClick);
    connect(ButtonClrSendData, &QPushButton::clicked, this, &TForm1::ButtonClrSendDataClick);
    connect(ButtonClrReceiveData, &QPushButton::clicked, this, &TForm1::ButtonClrReceiveDataClick);
    connect(ButtonRecord, &QPushButton::clicked, this, &TForm1::ButtonRecordClick);
}

QString TForm1::SettingsPath(bool forSaving) const
{
    const QString folder = ExecutableFolder.isEmpty() ? QCoreApplication::applicationDirPath() : ExecutableFolder;
    const std::string dir = folder.toStdString();
    return QString::fromStdString(forSaving ? SettingsFilePath(dir) : SettingsReadPath(dir));
}

void TForm1::FormCreate()
{
    const TIniFile ini(SettingsPath(false).toStdString());
    for (const TEditKey& key : EditKeys) {
        if (auto* edit = findChild<QLineEdit*>(QString::fromLatin1(key.EditName)))
            SetTextFromStart(edit, Utf8(ini.ReadString(key.Section, key.Key, "")));
    }
    RecordSettings = ReadRecordSettings(ini);
}

void TForm1::FormClose()
{
    // Started from the file read, so that a first save in the user's folder keeps what the file beside
    // the program held besides these keys ("Any"/"Value", comments).
    TIniFile ini(SettingsPath(false).toStdString());
    ini.SetFileName(SettingsPath(true).toStdString());
    WritePortSettings(ini, LxCommDevice1->fGetPortNo(), static_cast<int>(LxCommDevice1->fGetBaud()),
                      LxCommDevice1->fGetPortName());
    for (const TEditKey& key : EditKeys) {
        if (!key.Written) continue;
        if (auto* edit = findChild<QLineEdit*>(QString::fromLatin1(key.EditName)))
            ini.WriteString(key.Section, key.Key, edit->text().toStdString());
    }
    WriteRecordSettings(ini, RecordSettings);
    try {
        ini.UpdateFile();
    } catch (const EFileWriteError& e) {
        ShowError(Utf8(e.Message));
    }
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // The window closes even when the file could not be written: the error has been shown.
    StopRepeats();
    FormClose();
    event->accept();
}

void TForm1::RefreshLabelPort()
{
    const unsigned long speed = KestroComm32::BaudRateValue(LxCommDevice1->fGetBaud());
    LabelPort->setText(QString::fromUtf8("当前串口:") + Utf8(LxCommDevice1->fGetPortName()) +
                       QString::fromUtf8(" 波特率: ") + QString::number(speed));
}

void TForm1::ShowMessage(const QString& text, const QString& informative)
{
    KestroComm32::ShowMessageBox(this, text, QGuiApplication::applicationDisplayName(), QMessageBox::Information,
                                 informative);
}

void TForm1::ShowError(const QString& text)
{
    KestroComm32::ShowMessageBox(this, text, QGuiApplication::applicationDisplayName(), QMessageBox::Critical);
}

void TForm1::AddLine(QPlainTextEdit* memo, const QString& line)
{
    // Every line ends with a line break, so an empty block still makes a line of its own.
    QTextCursor cursor(memo->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(line + QLatin1Char('\n'));
    memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
}

int TForm1::AsciiToHex(char ch) const { return Busprobe::AsciiToHex(ch); }

int TForm1::AnsiStrToChars(const QString& text, std::uint8_t* buffer, int bufferSize) const
{
    return Busprobe::AnsiStrToChars(text.toStdString(), buffer, bufferSize);
}

void TForm1::Button1Click()
{
    try {
        LxCommDevice1->SettingsDialog(this, true);
    } catch (const std::exception& e) {
        ShowMessage(QString::fromUtf8(e.what()));
    }
    // OK opens the port: the two buttons follow what the device really is.
    const bool active = LxCommDevice1->fGetActive();
    Button4->setEnabled(!active);
    Button6->setEnabled(active);
    RefreshLabelPort();
}

void TForm1::Button4Click()
{
    try {
        LxCommDevice1->fSetActive(true);
        Button4->setEnabled(false);
        Button6->setEnabled(true);
    } catch (const KestroComm32::EComm32Error& e) {
        // The library's message as it is; why the system refused, in plain words, below it.
        ShowMessage(QString::fromUtf8(e.what()), QString::fromStdString(e.Explanation));
    } catch (const std::exception& e) {
        ShowMessage(QString::fromUtf8(e.what()));
    }
}

void TForm1::Button6Click()
{
    try {
        StopRepeats();
        LxCommDevice1->fSetActive(false);
        Button4->setEnabled(true);
        Button6->setEnabled(false);
    } catch (const std::exception& e) {
        ShowMessage(QString::fromUtf8(e.what()));
    }
}

bool TForm1::SendGroup(std::uint8_t functionCode, QLineEdit* addr, QLineEdit* reg, QLineEdit* numOrValue,
                       QLineEdit* result)
{
    if (!LxCommDevice1->fGetActive()) {
        LabelPort->setText(QString::fromUtf8(Str_OpenPortFirst));
        return false;
    }
    TRequestFrame frame;
    try {
        if (functionCode == 0x10) {
            frame = BuildWriteMultipleRequest(addr->text().toStdString(), reg->text().toStdString(),
                                              numOrValue->text().toStdString());
        } else {
            frame = BuildRequest(functionCode, addr->text().toStdString(), reg->text().toStdString(),
                                 numOrValue->text().toStdString());
        }
    } catch (const ERequestError& e) {
        // A repeating group stops before the box shows: its timer would meet the same text again.
        if (functionCode >= 1 && functionCode <= 4) SetRepeat(functionCode - 1, false);
        ShowError(Utf8(e.Message));
        return false;
    }
    SendData(frame.Bytes.data(), frame.Length);
    if (result) result->setText(QStringLiteral(" "));
    if (functionCode >= 1 && functionCode <= 4) LastQuantity[functionCode - 1] = frame.Bytes[4] << 8 | frame.Bytes[5];
    return LastSendWentOut;
}

void TForm1::ButtonSend_01Click() { SendGroup(0x01, Edit01_485Addr, Edit01_RegAddr, Edit01_RegNum, Edit01_RegValue); }

void TForm1::ButtonSend_02Click() { SendGroup(0x02, Edit02_485Addr, Edit02_RegAddr, Edit02_RegNum, Edit02_RegValue); }

void TForm1::ButtonSend_03Click() { SendGroup(0x03, Edit03_485Addr, Edit03_RegAddr, Edit03_RegNum, Edit03_RegValue); }

void TForm1::ButtonSend_04Click() { SendGroup(0x04, Edit04_485Addr, Edit04_RegAddr, Edit04_RegNum, Edit04_RegValue); }

void TForm1::ButtonSend_05Click() { SendGroup(0x05, Edit05_485Addr, Edit05_RegAddr, Edit05_RegValue, nullptr); }

void TForm1::ButtonSend_06Click() { SendGroup(0x06, Edit06_485Addr, Edit06_RegAddr, Edit06_RegValue, nullptr); }

void TForm1::ButtonSend_10Click() { SendGroup(0x10, Edit10_485Addr, Edit10_RegAddr, Edit10_RegValue, nullptr); }

void TForm1::SendFreeForm(bool withCrc)
{
    TRequestFrame frame;
    try {
        frame = BuildFreeFormRequest(EditSend->text().toStdString(), withCrc);
    } catch (const ERequestError& e) {
        ShowError(Utf8(e.Message));
        return;
    }
    SendData(frame.Bytes.data(), frame.Length);
}

void TForm1::ButtonSendClick() { SendFreeForm(false); }

void TForm1::ButtonSendWithCRCClick() { SendFreeForm(true); }

void TForm1::ButtonClrSendDataClick() { MemoSend->clear(); }

void TForm1::ButtonClrReceiveDataClick() { MemoReceive->clear(); }

void TForm1::SendData(const std::uint8_t* bytes, std::uint8_t count)
{
    LastSendWentOut = false;
    if (!LxCommDevice1->fGetActive()) return;
    const int written = LxCommDevice1->Write(bytes, count);
    const auto now = std::chrono::system_clock::now();
    if (written != count) {
        // Refused (port closing, writes locked, queue full) or cut short: not logged as sent.
        Record.WriteFailed(bytes, count, written, now);
        LabelPort->setText(Utf8(WriteFailedText(written, count)));
        RecordChanged();
        return;
    }
    LastSendWentOut = true;
    Record.Sent(bytes, count, GetTickCount(), now);
    AddLine(MemoSend, Utf8(HexLine(bytes, count)));
    RecordChanged();
}

bool TForm1::ReceiveByte(std::uint8_t& byte)
{
    if (!LxCommDevice1->fGetActive()) return false;
    return LxCommDevice1->Read(&byte, 1) == 1;
}

void TForm1::ShowReceiveData(const std::uint8_t* bytes, int count)
{
    AddLine(MemoReceive, Utf8(HexLine(bytes, count)));
}

void TForm1::DecodeReceiveData(const std::uint8_t* bytes, int count)
{
    const int fc = count >= 2 ? bytes[1] : 0;
    const std::size_t group = fc >= 1 && fc <= 4 ? static_cast<std::size_t>(fc - 1) : 0;
    const auto decoded =
        Busprobe::DecodeReceiveData(bytes, count, RecordSettings.Groups[group].Format, LastQuantity[group]);
    if (!decoded) return;
    QLineEdit* const fields[] = {Edit01_RegValue, Edit02_RegValue, Edit03_RegValue, Edit04_RegValue};
    SetTextFromStart(fields[decoded->FunctionCode - 1], Utf8(decoded->Text));
}

void TForm1::Timer1Timer()
{
    // The silence follows the line as it is now: at 110-1200 baud one character alone lasts 9-91 ms.
    const KestroComm32::TComm32* comm = LxCommDevice1->fGetComm32();
    const std::uint32_t silence =
        ReplySilenceFor(comm->fGetBaud(), comm->fGetByteSize(), comm->fGetParity(), comm->fGetStopBits());
    ReceiveReplies(
        RecvBuffer, [this](std::uint8_t& byte) { return ReceiveByte(byte); }, GetTickCount,
        [this](const std::uint8_t* bytes, int count, std::uint32_t lastTick) {
            Record.Received(bytes, count, lastTick, std::chrono::system_clock::now());
            ShowReceiveData(bytes, count);
            DecodeReceiveData(bytes, count);
        },
        [this](std::uint32_t ms) { WaitForByte(ms); }, silence);
    Record.CheckTimeouts(GetTickCount(), static_cast<std::uint32_t>(RecordSettings.ReplyTimeoutMs),
                         std::chrono::system_clock::now());
    RecordChanged();
}

// The window waits out a reply's silence anyway; asleep on the port's queue it costs no CPU meanwhile.
void TForm1::WaitForByte(std::uint32_t ms)
{
    KestroComm32::TComm32* comm = LxCommDevice1->fGetActive() ? LxCommDevice1->fGetComm32() : nullptr;
    if (comm != nullptr) comm->WaitForData(ms);
}

void TForm1::RecordChanged()
{
    if (Record.Awaiting() && !TimerExchange->isActive()) TimerExchange->start();
    if (RecordModel == nullptr) return;
    QScrollBar* bar = ViewRecord->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    RecordModel->Sync();
    if (atEnd) ViewRecord->scrollToBottom();
    const TCounters& n = Record.Counters();
    const QString trips = n.RoundTrips == 0 ? QStringLiteral("-/-/-")
                                            : QStringLiteral("%1/%2/%3")
                                                  .arg(n.RoundTripMin)
                                                  .arg(static_cast<double>(n.RoundTripSum) / n.RoundTrips, 0, 'f', 1)
                                                  .arg(n.RoundTripMax);
    LabelCounters->setText(
        QString::fromUtf8("请求 %1   正常 %2   无应答 %3   CRC错误 %4   异常 %5   往返 最小/平均/最大 %6 ms")
            .arg(n.Requests)
            .arg(n.Good)
            .arg(n.NoReply)
            .arg(n.CrcErrors)
            .arg(n.Exceptions)
            .arg(trips));
}

void TForm1::CreateRecordPane()
{
    PanelRecord = new QWidget(this);
    PanelRecord->setObjectName(QStringLiteral("PanelRecord"));
    auto* column = new QVBoxLayout(PanelRecord);
    column->setContentsMargins(4, 8, 8, 8);

    auto* tools = new QHBoxLayout;
    auto* timeoutLabel = new QLabel(QString::fromUtf8("应答超时(ms)"), PanelRecord);
    SpinReplyTimeout = new QSpinBox(PanelRecord);
    SpinReplyTimeout->setObjectName(QStringLiteral("SpinReplyTimeout"));
    SpinReplyTimeout->setRange(MinReplyTimeoutMs, MaxReplyTimeoutMs);
    SpinReplyTimeout->setValue(RecordSettings.ReplyTimeoutMs);
    connect(SpinReplyTimeout, &QSpinBox::valueChanged, this, [this](int v) { RecordSettings.ReplyTimeoutMs = v; });
    const auto button = [this](const char* name, const char* text) {
        QPushButton* b = new QPushButton(QString::fromUtf8(text), PanelRecord);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        return b;
    };
    ButtonResetCounters = button("ButtonResetCounters", "计数清零");
    ButtonClearRecord = button("ButtonClearRecord", "清空记录");
    ButtonSaveRecord = button("ButtonSaveRecord", "保存记录...");
    ButtonSaveMemos = button("ButtonSaveMemos", "保存缓冲区...");
    connect(ButtonResetCounters, &QPushButton::clicked, this, &TForm1::ButtonResetCountersClick);
    connect(ButtonClearRecord, &QPushButton::clicked, this, &TForm1::ButtonClearRecordClick);
    connect(ButtonSaveRecord, &QPushButton::clicked, this, &TForm1::ButtonSaveRecordClick);
    connect(ButtonSaveMemos, &QPushButton::clicked, this, &TForm1::ButtonSaveMemosClick);
    tools->addWidget(timeoutLabel);
    tools->addWidget(SpinReplyTimeout);
    tools->addStretch(1);
    for (QPushButton* b : {ButtonResetCounters, ButtonClearRecord, ButtonSaveRecord, ButtonSaveMemos})
        tools->addWidget(b);
    column->addLayout(tools);

    LabelCounters = new QLabel(PanelRecord);
    LabelCounters->setObjectName(QStringLiteral("LabelCounters"));
    column->addWidget(LabelCounters);

    auto* groups = new QGridLayout;
    const char* const heads[] = {"指令", "显示格式", "周期(ms)", ""};
    for (int c = 0; c < 4; ++c) groups->addWidget(new QLabel(QString::fromUtf8(heads[c]), PanelRecord), 0, c);
    for (int g = 0; g < 4; ++g) {
        const std::size_t i = static_cast<std::size_t>(g);
        const QString p = QStringLiteral("%1").arg(g + 1, 2, 10, QLatin1Char('0'));
        groups->addWidget(new QLabel(p + QLatin1Char('H'), PanelRecord), g + 1, 0);
        ComboFormat[i] = new QComboBox(PanelRecord);
        ComboFormat[i]->setObjectName(QStringLiteral("ComboFormat") + p);
        for (int f = 0; f < ValueFormatCount; ++f) {
            const auto format = static_cast<TValueFormat>(f);
            if (ValueFormatFits(format, g + 1))
                ComboFormat[i]->addItem(QString::fromUtf8(ValueFormatCaption(format)), f);
        }
        ComboFormat[i]->setCurrentIndex(ComboFormat[i]->findData(static_cast<int>(RecordSettings.Groups[i].Format)));
        connect(ComboFormat[i], &QComboBox::currentIndexChanged, this, [this, i](int index) {
            RecordSettings.Groups[i].Format = static_cast<TValueFormat>(ComboFormat[i]->itemData(index).toInt());
        });
        SpinRepeat[i] = new QSpinBox(PanelRecord);
        SpinRepeat[i]->setObjectName(QStringLiteral("SpinRepeat") + p);
        SpinRepeat[i]->setRange(MinRepeatPeriodMs, MaxRepeatPeriodMs);
        SpinRepeat[i]->setValue(RecordSettings.Groups[i].RepeatPeriodMs);
        connect(SpinRepeat[i], &QSpinBox::valueChanged, this,
                [this, i](int v) { RecordSettings.Groups[i].RepeatPeriodMs = v; });
        ButtonRepeat[i] = button(("ButtonRepeat" + p.toStdString()).c_str(), RepeatOn[i] ? Str_RepeatStop : Str_Repeat);
        connect(ButtonRepeat[i], &QPushButton::clicked, this, [this, g] { ButtonRepeatClick(g); });
        groups->addWidget(ComboFormat[i], g + 1, 1);
        groups->addWidget(SpinRepeat[i], g + 1, 2);
        groups->addWidget(ButtonRepeat[i], g + 1, 3);
    }
    groups->setColumnStretch(4, 1);
    column->addLayout(groups);

    RecordModel = new TRecordModel(Record, this);
    ViewRecord = new QTableView(PanelRecord);
    ViewRecord->setObjectName(QStringLiteral("ViewRecord"));
    ViewRecord->setModel(RecordModel);
    ViewRecord->verticalHeader()->hide();
    ViewRecord->verticalHeader()->setDefaultSectionSize(ViewRecord->fontMetrics().height() + 4);
    ViewRecord->horizontalHeader()->setStretchLastSection(true);
    ViewRecord->setSelectionBehavior(QAbstractItemView::SelectRows);
    ViewRecord->setWordWrap(false);
    const int digit = ViewRecord->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    ViewRecord->setColumnWidth(0, digit * 14);
    ViewRecord->setColumnWidth(1, digit * 6);
    ViewRecord->setColumnWidth(2, digit * 9);
    ViewRecord->setColumnWidth(
        3, ViewRecord->fontMetrics().horizontalAdvance(QString::fromUtf8("异常 0B 网关目标设备响应失败")) + 12);
    column->addWidget(ViewRecord, 1);
    RecordChanged();
}

void TForm1::LayOutRecordPane()
{
    if (PanelRecord != nullptr) PanelRecord->setGeometry(BaseWidth, 0, std::max(0, width() - BaseWidth), height());
}

bool TForm1::RecordPaneShown() const { return PanelRecord != nullptr && !PanelRecord->isHidden(); }

void TForm1::ShowRecordPane(bool show)
{
    if (show && PanelRecord == nullptr) CreateRecordPane();
    if (PanelRecord == nullptr) return;
    ButtonRecord->setText(QString::fromUtf8(show ? Str_RecordHide : Str_RecordShow));
    const bool sized = isMaximized() || isFullScreen();
    if (!sized) resize(show ? std::max(width(), BaseWidth + PaneWidth) : BaseWidth, height());
    PanelRecord->setVisible(show);
    LayOutRecordPane();
}

void TForm1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const bool room = event->size().width() >= BaseWidth + MinPaneWidth;
    if (room != RecordPaneShown() && (room || PanelRecord != nullptr)) {
        if (room && PanelRecord == nullptr) CreateRecordPane();
        ButtonRecord->setText(QString::fromUtf8(room ? Str_RecordHide : Str_RecordShow));
        PanelRecord->setVisible(room);
    }
    LayOutRecordPane();
}

void TForm1::ButtonRecordClick() { ShowRecordPane(!RecordPaneShown()); }

void TForm1::ButtonResetCountersClick()
{
    Record.ResetCounters();
    RecordChanged();
}

void TForm1::ButtonClearRecordClick()
{
    Record.ClearRows();
    RecordChanged();
}

void TForm1::ButtonSaveRecordClick()
{
    const QString path = SaveFileName(this, QString::fromUtf8("保存通信记录"), QStringLiteral("CSV (*.csv)"));
    if (path.isEmpty()) return;
    std::ostringstream csv;
    WriteCsv(csv, Record.Rows());
    std::string why;
    if (!WriteTextFile(path.toStdString(), csv.str(), why))
        ShowError(QString::fromUtf8(Str_SaveFailed).arg(path, Utf8(why)));
}

void TForm1::ButtonSaveMemosClick()
{
    const QString path = SaveFileName(this, QString::fromUtf8("保存缓冲区"), QString::fromUtf8("文本 (*.txt)"));
    if (path.isEmpty()) return;
    const QString text = QLatin1Char('[') + Label6->text() + QStringLiteral("]\n") + MemoSend->toPlainText() +
                         QLatin1Char('[') + Label28->text() + QStringLiteral("]\n") + MemoReceive->toPlainText();
    std::string why;
    if (!WriteTextFile(path.toStdString(), text.toStdString(), why))
        ShowError(QString::fromUtf8(Str_SaveFailed).arg(path, Utf8(why)));
}

void TForm1::SetRepeat(int group, bool on)
{
    const std::size_t i = static_cast<std::size_t>(group);
    RepeatOn[i] = on;
    if (on) {
        // The first round goes out at once.
        RepeatLastTick[i] = GetTickCount() - static_cast<std::uint32_t>(RecordSettings.Groups[i].RepeatPeriodMs);
        TimerExchange->start();
    }
    if (ButtonRepeat[i] != nullptr) ButtonRepeat[i]->setText(QString::fromUtf8(on ? Str_RepeatStop : Str_Repeat));
}

void TForm1::StopRepeats()
{
    for (int g = 0; g < 4; ++g) SetRepeat(g, false);
}

void TForm1::ButtonRepeatClick(int group)
{
    if (Repeating(group)) {
        SetRepeat(group, false);
        return;
    }
    if (!LxCommDevice1->fGetActive()) {
        LabelPort->setText(QString::fromUtf8(Str_OpenPortFirst));
        return;
    }
    SetRepeat(group, true);
}

void TForm1::TimerExchangeTimer()
{
    if (!LxCommDevice1->fGetActive()) StopRepeats();
    Timer1Timer();
    QLineEdit* const fields[4][4] = {
        {Edit01_485Addr, Edit01_RegAddr, Edit01_RegNum, Edit01_RegValue},
        {Edit02_485Addr, Edit02_RegAddr, Edit02_RegNum, Edit02_RegValue},
        {Edit03_485Addr, Edit03_RegAddr, Edit03_RegNum, Edit03_RegValue},
        {Edit04_485Addr, Edit04_RegAddr, Edit04_RegNum, Edit04_RegValue},
    };
    bool any = false;
    for (int g = 0; g < 4; ++g) {
        const std::size_t i = static_cast<std::size_t>(g);
        if (!RepeatOn[i]) continue;
        any = true;
        // Never before the previous reply or its time-out.
        if (Record.Awaiting()) continue;
        const std::uint32_t now = GetTickCount();
        if (TicksSince(RepeatLastTick[i], now) < static_cast<std::uint32_t>(RecordSettings.Groups[i].RepeatPeriodMs))
            continue;
        RepeatLastTick[i] = now;
        if (!SendGroup(static_cast<std::uint8_t>(g + 1), fields[g][0], fields[g][1], fields[g][2], fields[g][3]))
            SetRepeat(g, false);
    }
    if (!any && !Record.Awaiting()) TimerExchange->stop();
}
