// The port settings dialog: fills its fields from a device, validates them and applies them all or none.
#include "lxcommdevice_settings.h"

#include "comm32_error.h"
#include "comm32_portinfo.h"
#include "lxcommdevice.h"
#include "message_box.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QSysInfo>

#include <algorithm>
#include <exception>

namespace KestroComm32 {

namespace {

const char* const EnglishMsgs[TForm_LxCommDevice_Settings::TMsgStrings::Count] = {
    "&OK",
    "&Cancel",
    "COM port Setup",
    "COM port",
    "Baud",
    "Parity",
    "Byte Size",
    "Stop Bits",
    "Flow Control",
    "No parity",
    "Odd",
    "Even",
    "Mark",
    "None",
    "RTS/CTS",
    "Xon/Xoff",
    "RTS/CTS & Xon/Xoff",
    "Must select COM Port",
    "Must select baud rate",
    "Invalid baud rate",
    "Must select byte size",
    "Must select parity check",
    "Must select stop bits",
    "Must select flow control",
    "&About",
    "&Default",
    "Port",
    "Modem",
    "Buffer",
    "Auto Answer",
    "Input Buf.",
    "Output Buf.",
    "Auto Answer: 0 - 255",
    "Input Buffer size error",
    "Output Buffer size error",
    "Space Parity",
};

const char* const SimplifiedChineseMsgs[TForm_LxCommDevice_Settings::TMsgStrings::Count] = {
    "确定",
    "取消",
    "串行口设置",
    "串行口",
    "波特率",
    "奇偶校验",
    "数据位",
    "停止位",
    "数据流控",
    "No parity (无)",
    "Odd (奇)",
    "Even (偶)",
    "Mark (标记)",
    "None (无)",
    "RTS/CTS (硬件)",
    "Xon/Xoff (软件)",
    "RTS/CTS & Xon/Xoff (硬&软)",
    "必须选择串行口",
    "必须输入/选择波特率",
    "无效的波特率",
    "必须选择数据位",
    "必须选择奇偶校验",
    "必须选择停止位",
    "必须选择数据流控制",
    "关于",
    "默认",
    "串行口选项",
    "调制解调器选项",
    "缓存容量",
    "自动应答",
    "输入缓存",
    "输出缓存",
    "自动应答必须是 0 - 255 的整数",
    "输入缓存容量错误",
    "输出缓存容量错误",
    "Space (空格)",
};

const char* const TraditionalChineseMsgs[TForm_LxCommDevice_Settings::TMsgStrings::Count] = {
    "確定",
    "取消",
    "序列埠設定",
    "序列埠",
    "傳輸速率",
    "奇偶校驗",
    "資料位元",
    "停止位元",
    "資料流控",
    "No parity (無)",
    "Odd (奇)",
    "Even (偶)",
    "Mark (標記)",
    "None (無)",
    "RTS/CTS (硬體)",
    "Xon/Xoff (軟體)",
    "RTS/CTS & Xon/Xoff (硬&軟)",
    "必須選擇序列埠",
    "必須輸入/選擇序列傳輸速率",
    "無效的序列傳輸速率",
    "必須選擇資料位元",
    "必須選擇奇偶校驗",
    "必須選擇停止位元",
    "必須選擇資料流程控制",
    "關於",
    "默認",
    "埠選項",
    "數據機選項",
    "緩存容量",
    "自動回應",
    "輸入緩存",
    "輸出緩存",
    "自動回應必須是 0 - 255 的整數",
    "輸入緩存容量錯誤",
    "輸出緩存容量錯誤",
    "Space (空白)",
};

constexpr long MinBufSize = 4096;

template <class W>
W* Make(QWidget* parent, const char* name, int x, int y, int w, int h)
{
    auto* widget = new W(parent);
    widget->setObjectName(name);
    widget->setGeometry(x, y, w, h);
    return widget;
}

// Every group is 185 pixels wide; labels stand at x 8, fields at x 82, 96 pixels wide.
QGroupBox* MakeGroup(QWidget* parent, const char* name, int x, int y, int h)
{
    return Make<QGroupBox>(parent, name, x, y, 185, h);
}

QLabel* MakeLabel(QWidget* parent, const char* name, int y) { return Make<QLabel>(parent, name, 8, y, 76, 21); }

QComboBox* MakeCombo(QWidget* parent, const char* name, int y, bool editable)
{
    auto* cb = Make<QComboBox>(parent, name, 82, y, 96, 21);
    cb->setEditable(editable);
    if (editable) cb->setInsertPolicy(QComboBox::NoInsert);
    return cb;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int y) { return Make<QLineEdit>(parent, name, 82, y, 96, 21); }

QPushButton* MakeButton(QWidget* dialog, const char* name, int x, QStyle::StandardPixmap icon)
{
    auto* bn = Make<QPushButton>(dialog, name, x, 200, 75, 25);
    bn->setIcon(dialog->style()->standardIcon(icon));
    return bn;
}
// The byte size list starts at 5 data bits.
constexpr int MinByteSize = 5;
// The flow list's items, in the order of the texts SetTexts puts there.
constexpr int FlowItemNone = 0;
constexpr TFlowControl FlowOfItem[] = {fcNone, fcRtsCts, fcXonXoff, fcRtsCtsXonXoff};

} // namespace

TForm_LxCommDevice_Settings::TMsgStrings::TMsgStrings() : TMsgStrings(TComm32Language().LcId) {}

TForm_LxCommDevice_Settings::TMsgStrings::TMsgStrings(unsigned long lcid) : FLcId(lcid)
{
    if (lcid == 2052) Table = SimplifiedChineseMsgs;
    else if (lcid == 1028) Table = TraditionalChineseMsgs;
    else Table = EnglishMsgs;
}

QString TForm_LxCommDevice_Settings::TMsgStrings::fGetMsg(int index) const
{
    if (index < 0 || index >= Count) return QString();
    return QString::fromUtf8(Table[index]);
}

unsigned long TForm_LxCommDevice_Settings::LeadingSpeed(const QString& text)
{
    const QString t = text;
    int i = 0;
    while (i < t.size() && t[i].isSpace()) ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        negative = t[i] == u'-';
        ++i;
    }
    unsigned long long value = 0;
    while (i < t.size() && t[i] >= u'0' && t[i] <= u'9') {
        value = value * 10 + static_cast<unsigned>(t[i].unicode() - u'0');
        if (value > 0xFFFFFFFFull) value = 0xFFFFFFFFull;
        ++i;
    }
    return negative ? 0 : static_cast<unsigned long>(value);
}

bool TForm_LxCommDevice_Settings::ParseInteger(const QString& text, long& value)
{
    const QString t = text.trimmed();
    int i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        negative = t[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < t.size() && t[i] == u'$') {
        base = 16;
        ++i;
    } else if (i + 1 < t.size() && t[i] == u'0' && (t[i + 1] == u'x' || t[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= t.size()) return false;
    long long v = 0;
    for (; i < t.size(); ++i) {
        const int d = QChar(t[i]).isDigit() && t[i] <= u'9'          ? t[i].unicode() - u'0'
                      : (base == 16 && t[i] >= u'a' && t[i] <= u'f') ? t[i].unicode() - u'a' + 10
                      : (base == 16 && t[i] >= u'A' && t[i] <= u'F') ? t[i].unicode() - u'A' + 10
                                                                     : -1;
        if (d < 0 || d >= base) return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFll) return false;
    }
    if (negative) v = -v;
    // Hexadecimal may spell a negative 32-bit value ($FFFFFFFF is -1), as integer conversion does.
    if (base == 16 && v > 0x7FFFFFFFll) v -= 0x100000000ll;
    if (v > 0x7FFFFFFFll || v < -0x80000000ll) return false;
    value = static_cast<long>(v);
    return true;
}

TForm_LxCommDevice_Settings::TForm_LxCommDevice_Settings(QWidget* owner, TLxCustomCommDevice* device, bool openOnOk)
    : QDialog(owner), Device(device), OpenOnOk(openOnOk)
{
    CreateControls();
    SetTexts();
    FitToTexts();

    // The port list, in the enumeration's order.
    CbPort->clear();
    {
        TCommSerialPortInfo ports;
        for (int i = 0; i < ports.PortList.Count(); ++i) {
            const UnicodeString& name = ports.PortList.Strings(i);
            CbPort->addItem(QString::fromStdString(name));
            // What the entry is: the device, its driver, the USB adapter and its serial number.
            CbPort->setItemData(i, QString::fromStdString(TCommSerialPortInfo::Details(name).ToolTip()),
                                Qt::ToolTipRole);
        }
    }

    if (!Device->fGetDesigning()) {
        BnAbout->hide();
        BnDefault->hide();
        const int w = width();
        const int bw = BnOK->width();
        BnOK->move((w - bw) / 2 - 60, BnOK->y());
        BnCancel->move((w - bw) / 2 + 60, BnCancel->y());
    }

    SaveDeviceState();
    ShowDeviceState();
    CbPort->setFocus(Qt::OtherFocusReason);

    // Centred on the screen rather than over the owner (a placed window keeps its place when shown).
    if (const QScreen* s = owner != nullptr ? owner->screen() : screen())
        move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

TForm_LxCommDevice_Settings::~TForm_LxCommDevice_Settings() = default;

void TForm_LxCommDevice_Settings::CreateControls()
{
    setObjectName("Form_LxCommDevice_Settings");
    QFont f(QStringLiteral("Tahoma"));
    f.setPixelSize(11);
    setFont(f);
    setFixedSize(393, 228);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    CreateBufferGroup();
    CreateButtons();
    CreateBaseGroup();
    CreateModemGroup();
    FillFixedLists();
    ChainFields();
    ConnectButtons();
}

void TForm_LxCommDevice_Settings::CreateBufferGroup()
{
    GBoxBuffer = MakeGroup(this, "GBoxBuffer", 200, 104, 88);
    lbInbs = MakeLabel(GBoxBuffer, "lbInbs", 24);
    lbOutbs = MakeLabel(GBoxBuffer, "lbOutbs", 54);
    EditInBufSize = MakeEdit(GBoxBuffer, "EditInBufSize", 24);
    EditOutBufSize = MakeEdit(GBoxBuffer, "EditOutBufSize", 54);
}

void TForm_LxCommDevice_Settings::CreateButtons()
{
    BnAbout = MakeButton(this, "BnAbout", 8, QStyle::SP_MessageBoxInformation);
    BnDefault = MakeButton(this, "BnDefault", 152, QStyle::SP_BrowserReload);
    BnOK = MakeButton(this, "BnOK", 232, QStyle::SP_DialogOkButton);
    BnCancel = MakeButton(this, "BnCancel", 312, QStyle::SP_DialogCancelButton);
    BnOK->setDefault(true);
}

void TForm_LxCommDevice_Settings::CreateBaseGroup()
{
    GboxBase = MakeGroup(this, "GboxBase", 8, 8, 184);
    lbPort = MakeLabel(GboxBase, "lbPort", 24);
    lbBaud = MakeLabel(GboxBase, "lbBaud", 56);
    lbCheck = MakeLabel(GboxBase, "lbCheck", 88);
    lbBits = MakeLabel(GboxBase, "lbBits", 120);
    lbStops = MakeLabel(GboxBase, "lbStops", 152);
    CbStopBits = MakeCombo(GboxBase, "CbStopBits", 152, false);
    CbSelBaud = MakeCombo(GboxBase, "CbSelBaud", 56, true);
    CbParity = MakeCombo(GboxBase, "CbParity", 88, false);
    CbByteSize = MakeCombo(GboxBase, "CbByteSize", 120, false);
    CbPort = MakeCombo(GboxBase, "CbPort", 24, false);
}

void TForm_LxCommDevice_Settings::CreateModemGroup()
{
    GBoxModem = MakeGroup(this, "GBoxModem", 200, 8, 88);
    lbFlow = MakeLabel(GBoxModem, "lbFlow", 24);
    lbAAns = MakeLabel(GBoxModem, "lbAAns", 54);
    CbFlow = MakeCombo(GBoxModem, "CbFlow", 24, false);
    EditAutoAns = MakeEdit(GBoxModem, "EditAutoAns", 54);
}

void TForm_LxCommDevice_Settings::FillFixedLists()
{
    CbStopBits->addItems({"1", "1.5", "2"});
    // The speeds of the device's baud property, in its order.
    for (int i = br110; i <= br256000; ++i)
        CbSelBaud->addItem(QString::number(BaudRateValue(static_cast<TBaudRate>(i))));
    CbByteSize->addItems({"5", "6", "7", "8"});
}

void TForm_LxCommDevice_Settings::ChainFields()
{
    // Tab order follows the Enter chain.
    QWidget* const order[] = {CbPort,      CbSelBaud,     CbParity,       CbByteSize, CbStopBits, CbFlow,
                              EditAutoAns, EditInBufSize, EditOutBufSize, BnOK,       BnCancel};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

    // Enter in any field goes to OK (which first moves along the chain), as a default button would.
    for (QWidget* w : std::initializer_list<QWidget*>{CbPort, CbSelBaud, CbParity, CbByteSize, CbStopBits, CbFlow,
                                                      EditAutoAns, EditInBufSize, EditOutBufSize})
        w->installEventFilter(this);
    if (CbSelBaud->lineEdit()) CbSelBaud->lineEdit()->installEventFilter(this);
}

void TForm_LxCommDevice_Settings::ConnectButtons()
{
    connect(BnOK, &QPushButton::clicked, this, [this] {
        // A click focuses the button first, so it always validates rather than moving on.
        BnOK->setFocus(Qt::MouseFocusReason);
        BnOKClick();
    });
    connect(BnCancel, &QPushButton::clicked, this, &TForm_LxCommDevice_Settings::BnCancelClick);
    connect(BnDefault, &QPushButton::clicked, this, &TForm_LxCommDevice_Settings::BnDefaultClick);
    connect(BnAbout, &QPushButton::clicked, this, &TForm_LxCommDevice_Settings::BnAboutClick);
}

void TForm_LxCommDevice_Settings::SetTexts()
{
    const TMsgStrings& m = MsgStrings;
    setWindowTitle(m.fGetMsg(TMsgStrings::msgCaption));
    GboxBase->setTitle(m.fGetMsg(TMsgStrings::msgPortGroup));
    GBoxModem->setTitle(m.fGetMsg(TMsgStrings::msgModemGroup));
    GBoxBuffer->setTitle(m.fGetMsg(TMsgStrings::msgBufferGroup));
    BnOK->setText(m.fGetMsg(TMsgStrings::msgOk));
    BnCancel->setText(m.fGetMsg(TMsgStrings::msgCancel));
    BnAbout->setText(m.fGetMsg(TMsgStrings::msgAbout));
    BnDefault->setText(m.fGetMsg(TMsgStrings::msgDefault));
    lbPort->setText(m.fGetMsg(TMsgStrings::msgPortLabel));
    lbBaud->setText(m.fGetMsg(TMsgStrings::msgBaudLabel));
    lbCheck->setText(m.fGetMsg(TMsgStrings::msgParityLabel));
    lbBits->setText(m.fGetMsg(TMsgStrings::msgByteSizeLabel));
    lbStops->setText(m.fGetMsg(TMsgStrings::msgStopBitsLabel));
    lbFlow->setText(m.fGetMsg(TMsgStrings::msgFlowLabel));
    lbAAns->setText(m.fGetMsg(TMsgStrings::msgAutoAnswerLabel));
    lbInbs->setText(m.fGetMsg(TMsgStrings::msgInBufLabel));
    lbOutbs->setText(m.fGetMsg(TMsgStrings::msgOutBufLabel));

    CbParity->clear();
    // Items in the order of TParity and of the flow choices that BnOKClick maps.
    for (TMsgStrings::TMsgId id : {TMsgStrings::msgNoParity, TMsgStrings::msgOddParity, TMsgStrings::msgEvenParity,
                                   TMsgStrings::msgMarkParity, TMsgStrings::msgSpaceParity})
        CbParity->addItem(m.fGetMsg(id));
    CbFlow->clear();
    for (TMsgStrings::TMsgId id : {TMsgStrings::msgFlowNone, TMsgStrings::msgFlowRtsCts, TMsgStrings::msgFlowXonXoff,
                                   TMsgStrings::msgFlowRtsCtsXonXoff})
        CbFlow->addItem(m.fGetMsg(id));
}

// Tahoma is rarely installed here: the fallback font and the Chinese texts are wider than the
// designed 76-pixel labels and 96-pixel boxes. The label column takes what its texts need, the fields
// the rest of the group; the right-hand column and the window widen when the flow box needs it.
void TForm_LxCommDevice_Settings::FitToTexts()
{
    constexpr int margin = 8, gap = 6, minGroupWidth = 185, minWidth = 393;
    auto labelColumn = [](std::initializer_list<QLabel*> labels) {
        int w = 0;
        for (QLabel* l : labels) w = std::max(w, l->sizeHint().width());
        return margin + w + gap;
    };
    auto row = [](QLabel* label, QWidget* field, int x, int groupWidth) {
        label->setGeometry(margin, label->y(), x - gap - margin, label->height());
        field->setGeometry(x, field->y(), groupWidth - margin - x, field->height());
    };

    const int baseX = labelColumn({lbPort, lbBaud, lbCheck, lbBits, lbStops});
    const int baseWidth = GboxBase->width();
    row(lbPort, CbPort, baseX, baseWidth);
    row(lbBaud, CbSelBaud, baseX, baseWidth);
    row(lbCheck, CbParity, baseX, baseWidth);
    row(lbBits, CbByteSize, baseX, baseWidth);
    row(lbStops, CbStopBits, baseX, baseWidth);

    const int modemX = labelColumn({lbFlow, lbAAns});
    const int bufferX = labelColumn({lbInbs, lbOutbs});
    const int right = std::max(minGroupWidth, modemX + CbFlow->sizeHint().width() + margin);
    GBoxModem->resize(right, GBoxModem->height());
    GBoxBuffer->resize(right, GBoxBuffer->height());
    row(lbFlow, CbFlow, modemX, right);
    row(lbAAns, EditAutoAns, modemX, right);
    row(lbInbs, EditInBufSize, bufferX, right);
    row(lbOutbs, EditOutBufSize, bufferX, right);

    setFixedSize(std::max(minWidth, GBoxModem->x() + right + margin), height());
}

bool TForm_LxCommDevice_Settings::MoveCtrlFocus()
{
    QWidget* const chain[] = {CbPort, CbSelBaud,   CbParity,      CbByteSize,    CbStopBits,
                              CbFlow, EditAutoAns, EditInBufSize, EditOutBufSize};
    QWidget* focused = focusWidget();
    // The editable speed box hands its focus to its line edit.
    if (focused != nullptr && CbSelBaud->lineEdit() == focused) focused = CbSelBaud;
    for (std::size_t i = 0; i + 1 < std::size(chain); ++i) {
        if (focused == chain[i]) {
            chain[i + 1]->setFocus(Qt::TabFocusReason);
            return true;
        }
    }
    return false;
}

bool TForm_LxCommDevice_Settings::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            auto* combo = qobject_cast<QComboBox*>(watched);
            // An open list takes Enter for itself (the choice); a closed one hands it to OK.
            if (combo == nullptr || !combo->view()->isVisible()) {
                BnOKClick();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TForm_LxCommDevice_Settings::ShowError(const QString& text, const QString& informative)
{
    ShowMessageBox(this, text, MsgStrings.fGetMsg(TMsgStrings::msgCaption), QMessageBox::Critical, informative);
}

bool TForm_LxCommDevice_Settings::Fail(QWidget* control, TMsgStrings::TMsgId msg)
{
    control->setFocus(Qt::OtherFocusReason);
    ShowError(MsgStrings.fGetMsg(msg));
    return false;
}

void TForm_LxCommDevice_Settings::BnOKClick()
{
    if (MoveCtrlFocus()) return;
    TSavedState v;
    if (!ReadLineFields(v) || !ReadModemAndBufferFields(v)) return;
    v.Active = Saved.Active || OpenOnOk;
    if (ApplyOrUndo(v)) accept();
}

bool TForm_LxCommDevice_Settings::ReadLineFields(TSavedState& v)
{
    if (CbPort->currentIndex() < 0) return Fail(CbPort, TMsgStrings::msgNeedPort);
    v.PortName = CbPort->currentText().toStdString();

    const QString baudText = CbSelBaud->currentText().trimmed();
    if (baudText.isEmpty()) return Fail(CbSelBaud, TMsgStrings::msgNeedBaud);
    v.Baud = LeadingSpeed(baudText);

    if (CbByteSize->currentIndex() < 0) return Fail(CbByteSize, TMsgStrings::msgNeedByteSize);
    v.ByteSize = CbByteSize->currentIndex() + MinByteSize;

    if (CbParity->currentIndex() < 0) return Fail(CbParity, TMsgStrings::msgNeedParity);
    v.Parity = CbParity->currentIndex();

    if (CbStopBits->currentIndex() < 0) return Fail(CbStopBits, TMsgStrings::msgNeedStopBits);
    v.StopBits = CbStopBits->currentIndex();

    if (CbFlow->currentIndex() < 0 || CbFlow->currentIndex() >= static_cast<int>(std::size(FlowOfItem)))
        return Fail(CbFlow, TMsgStrings::msgNeedFlow);
    v.FlowControl = FlowOfItem[CbFlow->currentIndex()];
    return true;
}

bool TForm_LxCommDevice_Settings::ReadModemAndBufferFields(TSavedState& v)
{
    long n = 0;
    if (!ParseInteger(EditAutoAns->text(), n) || n < 0 || n > 255)
        return Fail(EditAutoAns, TMsgStrings::msgAutoAnswerRange);
    v.AutoAnswer = static_cast<int>(n);

    if (!ParseInteger(EditInBufSize->text(), n) || n < MinBufSize)
        return Fail(EditInBufSize, TMsgStrings::msgInBufSizeError);
    v.InBufSize = n;

    if (!ParseInteger(EditOutBufSize->text(), n) || n < MinBufSize)
        return Fail(EditOutBufSize, TMsgStrings::msgOutBufSizeError);
    v.OutBufSize = n;
    return true;
}

bool TForm_LxCommDevice_Settings::ApplyOrUndo(const TSavedState& v)
{
    try {
        Apply(v);
        return true;
    } catch (const EComm32Error& e) {
        Undo();
        CbPort->setFocus(Qt::OtherFocusReason);
        ShowError(QString::fromUtf8(e.what()), QString::fromStdString(e.Explanation));
    } catch (const std::exception& e) {
        Undo();
        CbPort->setFocus(Qt::OtherFocusReason);
        ShowError(QString::fromUtf8(e.what()));
    }
    return false;
}

void TForm_LxCommDevice_Settings::SaveDeviceState()
{
    Saved.Active = Device->fGetActive();
    Saved.PortName = Device->fGetPortName();
    Saved.Baud = Device->fGetComm32()->fGetBaud();
    Saved.ByteSize = Device->fGetByteSize();
    Saved.Parity = Device->fGetParity();
    Saved.StopBits = Device->fGetStopBits();
    Saved.FlowControl = Device->fGetFlowControl();
    Saved.AutoAnswer = Device->fGetAutoAnswer();
    Saved.InBufSize = Device->fGetInBufSize();
    Saved.OutBufSize = Device->fGetOutBufSize();
}

void TForm_LxCommDevice_Settings::ShowDeviceState()
{
    CbPort->setCurrentIndex(CbPort->findText(QString::fromStdString(Saved.PortName), Qt::MatchExactly));
    CbSelBaud->setEditText(QString::number(Saved.Baud));
    const int byteIndex = Saved.ByteSize - MinByteSize;
    CbByteSize->setCurrentIndex(byteIndex >= 0 && byteIndex < CbByteSize->count() ? byteIndex : -1);
    CbParity->setCurrentIndex(Saved.Parity >= ptNoParity && Saved.Parity <= ptSpaceParity ? Saved.Parity : -1);
    CbStopBits->setCurrentIndex(Saved.StopBits >= sbOneStopBit && Saved.StopBits <= sbTwoStopBit ? Saved.StopBits : -1);
    int flow = 0;
    switch (Saved.FlowControl) {
    case fcRtsCts: flow = 1; break;
    case fcXonXoff:
    case fcTranXonXoff: flow = 2; break;
    case fcRtsCtsXonXoff: flow = 3; break;
    default: flow = 0; break;
    }
    CbFlow->setCurrentIndex(flow);
    EditAutoAns->setText(QString::number(Saved.AutoAnswer));
    EditInBufSize->setText(QString::number(Saved.InBufSize));
    EditOutBufSize->setText(QString::number(Saved.OutBufSize));
}

void TForm_LxCommDevice_Settings::Apply(const TSavedState& v)
{
    Device->fSetPortName(v.PortName);
    Device->fGetComm32()->fSetBaud(v.Baud);
    Device->fSetParity(static_cast<TParity>(v.Parity));
    Device->fSetByteSize(v.ByteSize);
    Device->fSetStopBits(static_cast<TStopBits>(v.StopBits));
    Device->fSetFlowControl(static_cast<TFlowControl>(v.FlowControl));
    Device->fSetAutoAnswer(v.AutoAnswer);
    // The queues cannot be resized under the port's threads; the setters above have closed it.
    if (!Device->fSetInBufSize(v.InBufSize)) throw EComm32Error(ecInitReadBuffer, Device->fGetPortName());
    if (!Device->fSetOutBufSize(v.OutBufSize)) throw EComm32Error(ecInitWriteBuffer, Device->fGetPortName());
    Device->fSetActive(v.Active);
}

void TForm_LxCommDevice_Settings::Undo()
{
    // Every value is put back even when one of them fails; the port is reopened last.
    const TSavedState& s = Saved;
    auto attempt = [](auto&& step) {
        try {
            step();
        } catch (...) {}
    };
    attempt([&] { Device->fSetPortName(s.PortName); });
    attempt([&] { Device->fGetComm32()->fSetBaud(s.Baud); });
    attempt([&] { Device->fSetParity(static_cast<TParity>(s.Parity)); });
    attempt([&] { Device->fSetByteSize(s.ByteSize); });
    attempt([&] { Device->fSetStopBits(static_cast<TStopBits>(s.StopBits)); });
    attempt([&] { Device->fSetFlowControl(static_cast<TFlowControl>(s.FlowControl)); });
    attempt([&] { Device->fSetAutoAnswer(s.AutoAnswer); });
    attempt([&] {
        if (Device->fGetActive()) Device->fSetActive(false);
        Device->fSetInBufSize(s.InBufSize);
        Device->fSetOutBufSize(s.OutBufSize);
    });
    attempt([&] { Device->fSetActive(s.Active); });
}

void TForm_LxCommDevice_Settings::BnCancelClick() { reject(); }

void TForm_LxCommDevice_Settings::BnDefaultClick()
{
    CbSelBaud->setCurrentIndex(br115200 - br110);
    CbParity->setCurrentIndex(ptNoParity);
    CbByteSize->setCurrentIndex(8 - MinByteSize);
    CbStopBits->setCurrentIndex(sbOneStopBit);
    CbFlow->setCurrentIndex(FlowItemNone);
    EditAutoAns->setText(QStringLiteral("0"));
    EditInBufSize->setText(QStringLiteral("8192"));
    EditOutBufSize->setText(QStringLiteral("8192"));
}

void TForm_LxCommDevice_Settings::BnAboutClick()
{
    ShowAboutBox(
        this, MsgStrings.fGetMsg(TMsgStrings::msgAbout).remove(u'&'),
        QStringLiteral("KestroComm32 serial library\nQt %1\n%2 (%3)")
            .arg(QString::fromLatin1(qVersion()), QSysInfo::prettyProductName(), QSysInfo::currentCpuArchitecture()));
}

} // namespace KestroComm32
