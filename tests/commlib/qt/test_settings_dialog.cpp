// Port settings dialog, offscreen: texts in English and Chinese, validation order, apply, undo, Enter and Cancel.
#include "comm32_error.h"
#include "comm32_portinfo.h"
#include "lxcommdevice.h"
#include "lxcommdevice_settings.h"
#include "message_box.h"
#include "pty_link.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace KestroComm32;
namespace fs = std::filesystem;
using Dialog = TForm_LxCommDevice_Settings;

namespace {

const char* const MissingPort = "ttyKESTROMISSING"; // listed by the fake sysfs, no /dev node

struct TShown {
    QString Text;
    QString Title;
    QString FocusName; // the control that had the focus when the box came up
};

// Replaces the message box for one test and records what would have been shown.
class MessageRecorder {
public:
    MessageRecorder()
    {
        SetMessageBoxHook([this](QWidget* parent, const QString& text, const QString& title, QMessageBox::Icon) {
            QWidget* f = parent->focusWidget();
            if (f && f->parentWidget() && qobject_cast<QComboBox*>(f->parentWidget())) f = f->parentWidget();
            Shown.push_back({text, title, f ? f->objectName() : QString()});
            return true;
        });
    }
    ~MessageRecorder() { SetMessageBoxHook(nullptr); }
    std::vector<TShown> Shown;
};

// A pseudo-terminal whose slave side the device can open.
using ptytest::TPty;

// Every value the dialog reads and writes.
struct TDeviceState {
    bool Active;
    std::string PortName;
    unsigned long Baud;
    int ByteSize;
    TParity Parity;
    TStopBits StopBits;
    TFlowControl Flow;
    int AutoAnswer;
    long InBuf;
    long OutBuf;
    bool operator==(const TDeviceState&) const = default;
};

TDeviceState StateOf(TLxCustomCommDevice& d)
{
    return {d.fGetActive(),   d.fGetPortName(),    d.fGetComm32()->fGetBaud(), d.fGetByteSize(),  d.fGetParity(),
            d.fGetStopBits(), d.fGetFlowControl(), d.fGetAutoAnswer(),         d.fGetInBufSize(), d.fGetOutBufSize()};
}

void PrintTo(const TDeviceState& s, std::ostream* os)
{
    *os << "{active " << s.Active << ", " << s.PortName << ", " << s.Baud << ", bits " << s.ByteSize << ", parity "
        << s.Parity << ", stop " << s.StopBits << ", flow " << s.Flow << ", aa " << s.AutoAnswer << ", " << s.InBuf
        << "/" << s.OutBuf << "}";
}

// A fake sysfs listing two ports and a temporary port map; the device starts with unusual settings.
class SettingsDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Root = fs::temp_directory_path() / ("kestro-dialog-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Root);
        for (const char* name : {MissingPort, "ttyKESTROOTHER"}) {
            fs::create_directories(Root / "sys" / "class" / "tty" / name / "device");
        }
        fs::create_directories(Root / "map");
        TCommSerialPortInfo::SetSysfsRoot((Root / "sys").string());
        setenv("COMPORTS_DIR", (Root / "map").c_str(), 1);

        Device = std::make_unique<TLxCommDevice>();
        Device->fSetPortName("COM3");
        Device->fGetComm32()->fSetBaud(19200);
        Device->fSetByteSize(7);
        Device->fSetParity(ptEvenParity);
        Device->fSetStopBits(sbTwoStopBit);
        Device->fSetFlowControl(fcTranXonXoff);
        Device->fSetAutoAnswer(3);
        Device->fSetInBufSize(5000);
        Device->fSetOutBufSize(6000);
    }
    void TearDown() override
    {
        Device.reset();
        SetThreadLocale(0);
        TCommSerialPortInfo::SetSysfsRoot("");
        unsetenv("COMPORTS_DIR");
        fs::remove_all(Root);
    }

    // A COMn alias in the port map that leads to target.
    void AddAlias(const std::string& name, const std::string& target)
    {
        fs::create_symlink(target, Root / "map" / name);
    }

    std::unique_ptr<Dialog> Make(bool openOnOk)
    {
        auto d = std::make_unique<Dialog>(nullptr, Device.get(), openOnOk);
        d->show();
        QApplication::setActiveWindow(d.get());
        EXPECT_TRUE(QTest::qWaitForWindowExposed(d.get()));
        return d;
    }

    // Fills every field with values that pass validation.
    static void FillValid(Dialog& d)
    {
        d.CbPort->setCurrentIndex(d.CbPort->findText(MissingPort));
        d.CbSelBaud->setEditText("9600");
        d.CbByteSize->setCurrentIndex(3);
        d.CbParity->setCurrentIndex(0);
        d.CbStopBits->setCurrentIndex(0);
        d.CbFlow->setCurrentIndex(0);
        d.EditAutoAns->setText("0");
        d.EditInBufSize->setText("8192");
        d.EditOutBufSize->setText("8192");
    }

    static void ClickOk(Dialog& d) { QTest::mouseClick(d.BnOK, Qt::LeftButton); }

    fs::path Root;
    std::unique_ptr<TLxCommDevice> Device;
};

} // namespace

TEST(SettingsDialogTexts, TablesInThreeLanguages)
{
    const Dialog::TMsgStrings en(1033), sc(2052), tc(1028), hk(3076);
    EXPECT_EQ(en.fGetMsg(2), "COM port Setup");
    EXPECT_EQ(sc.fGetMsg(2), QString::fromUtf8("串行口设置"));
    EXPECT_EQ(tc.fGetMsg(2), QString::fromUtf8("序列埠設定"));
    EXPECT_EQ(hk.fGetMsg(2), "COM port Setup");
    EXPECT_EQ(en.fGetMsg(16), "RTS/CTS & Xon/Xoff");
    EXPECT_EQ(sc.fGetMsg(32), QString::fromUtf8("自动应答必须是 0 - 255 的整数"));
    EXPECT_EQ(tc.fGetMsg(23), QString::fromUtf8("必須選擇資料流程控制"));
    EXPECT_EQ(en.fGetMsg(35), "Space Parity");
    EXPECT_EQ(tc.fGetMsg(35), QString::fromUtf8("Space (空白)"));
    EXPECT_TRUE(en.fGetMsg(36).isEmpty());
    EXPECT_TRUE(en.fGetMsg(-1).isEmpty());
    for (int i = 0; i < Dialog::TMsgStrings::Count; ++i) {
        EXPECT_FALSE(en.fGetMsg(i).isEmpty()) << i;
        EXPECT_FALSE(sc.fGetMsg(i).isEmpty()) << i;
        EXPECT_FALSE(tc.fGetMsg(i).isEmpty()) << i;
    }
    SetThreadLocale(1028);
    EXPECT_EQ(Dialog::TMsgStrings().fGetMsg(0), QString::fromUtf8("確定"));
    SetThreadLocale(0);
}

TEST(SettingsDialogParsing, SpeedIsTheLeadingNumber)
{
    EXPECT_EQ(Dialog::LeadingSpeed("9600 baud"), 9600u);
    EXPECT_EQ(Dialog::LeadingSpeed("  +115200"), 115200u);
    EXPECT_EQ(Dialog::LeadingSpeed("baud"), 0u);
    EXPECT_EQ(Dialog::LeadingSpeed("12x34"), 12u);
    EXPECT_EQ(Dialog::LeadingSpeed("-300"), 0u);
    EXPECT_EQ(Dialog::LeadingSpeed("99999999999999"), 0xFFFFFFFFul);
}

TEST(SettingsDialogParsing, IntegersDecimalOrHex)
{
    long v = -7;
    EXPECT_TRUE(Dialog::ParseInteger("$FF", v));
    EXPECT_EQ(v, 255);
    EXPECT_TRUE(Dialog::ParseInteger("0x10", v));
    EXPECT_EQ(v, 16);
    EXPECT_TRUE(Dialog::ParseInteger(" 4096 ", v));
    EXPECT_EQ(v, 4096);
    EXPECT_TRUE(Dialog::ParseInteger("-1", v));
    EXPECT_EQ(v, -1);
    EXPECT_TRUE(Dialog::ParseInteger("$FFFFFFFF", v));
    EXPECT_EQ(v, -1);
    v = 42;
    for (const char* bad : {"", " ", "$", "0x", "12a", "1 2", "$FG", "FF", "4096.0", "2147483648", "+", "--1"}) {
        EXPECT_FALSE(Dialog::ParseInteger(bad, v)) << bad;
    }
    EXPECT_EQ(v, 42);
}

TEST_F(SettingsDialogTest, EnglishCaptionItemsAndRunTimeButtons)
{
    SetThreadLocale(1033);
    auto d = Make(false);
    EXPECT_EQ(d->windowTitle(), "COM port Setup");
    QStringList parity;
    for (int i = 0; i < d->CbParity->count(); ++i) parity << d->CbParity->itemText(i);
    EXPECT_EQ(parity, (QStringList{"No parity", "Odd", "Even", "Mark", "Space Parity"}));
    QStringList flow;
    for (int i = 0; i < d->CbFlow->count(); ++i) flow << d->CbFlow->itemText(i);
    EXPECT_EQ(flow, (QStringList{"None", "RTS/CTS", "Xon/Xoff", "RTS/CTS & Xon/Xoff"}));
    EXPECT_EQ(d->CbSelBaud->count(), 15);
    EXPECT_EQ(d->CbSelBaud->itemText(12), "115200");
    EXPECT_EQ(d->BnOK->text(), "&OK");
    EXPECT_EQ(d->GBoxBuffer->title(), "Buffer");
    EXPECT_EQ(d->lbAAns->text(), "Auto Answer");

    // At run time only OK and Cancel, centred around the middle.
    EXPECT_FALSE(d->BnAbout->isVisible());
    EXPECT_FALSE(d->BnDefault->isVisible());
    EXPECT_TRUE(d->BnOK->isVisible());
    EXPECT_EQ(d->BnOK->x(), (d->width() - d->BnOK->width()) / 2 - 60);
    EXPECT_EQ(d->BnCancel->x(), (d->width() - d->BnCancel->width()) / 2 + 60);
    EXPECT_TRUE(d->BnOK->isDefault());
    EXPECT_EQ(d->focusWidget(), d->CbPort);
}

TEST_F(SettingsDialogTest, SimplifiedChineseTexts)
{
    SetThreadLocale(2052);
    auto d = Make(false);
    EXPECT_EQ(d->windowTitle(), QString::fromUtf8("串行口设置"));
    EXPECT_EQ(d->CbParity->itemText(4), QString::fromUtf8("Space (空格)"));
    EXPECT_EQ(d->CbFlow->itemText(3), QString::fromUtf8("RTS/CTS & Xon/Xoff (硬&软)"));
    EXPECT_EQ(d->lbPort->text(), QString::fromUtf8("串行口"));
    EXPECT_EQ(d->BnCancel->text(), QString::fromUtf8("取消"));
}

TEST_F(SettingsDialogTest, FieldsShowTheDeviceAndThePortList)
{
    Device->fSetPortName(MissingPort);
    auto d = Make(false);
    // The enumeration's order: named ports sorted ordinally.
    ASSERT_EQ(d->CbPort->count(), 2);
    EXPECT_EQ(d->CbPort->itemText(0), MissingPort);
    EXPECT_EQ(d->CbPort->itemText(1), "ttyKESTROOTHER");
    EXPECT_EQ(d->CbPort->currentText(), MissingPort);
    EXPECT_EQ(d->CbSelBaud->currentText(), "19200");
    EXPECT_EQ(d->CbByteSize->currentText(), "7");
    EXPECT_EQ(d->CbParity->currentIndex(), 2);
    EXPECT_EQ(d->CbStopBits->currentText(), "2");
    EXPECT_EQ(d->CbFlow->currentIndex(), 2); // transparent XON/XOFF shows as Xon/Xoff
    EXPECT_EQ(d->EditAutoAns->text(), "3");
    EXPECT_EQ(d->EditInBufSize->text(), "5000");
    EXPECT_EQ(d->EditOutBufSize->text(), "6000");
}

// With the fonts at hand (no Tahoma), every label and every item of a closed list shows whole, in
// each language, and the groups stay inside the window without overlapping.
TEST_F(SettingsDialogTest, EveryTextFitsItsControl)
{
    for (unsigned long lcid : {1033ul, 2052ul, 1028ul}) {
        SCOPED_TRACE(lcid);
        SetThreadLocale(lcid);
        auto d = Make(false);
        for (QLabel* l : d->findChildren<QLabel*>()) {
            const int need = l->fontMetrics().horizontalAdvance(QString(l->text()).remove(u'&'));
            EXPECT_LE(need, l->contentsRect().width()) << l->objectName().toStdString();
            EXPECT_GE(l->x(), 0);
        }
        for (QComboBox* cb : d->findChildren<QComboBox*>()) {
            QStyleOptionComboBox opt;
            opt.initFrom(cb);
            opt.editable = cb->isEditable();
            const QRect field =
                cb->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, cb);
            // Port names come from the system; the fake ones here are longer than real ones.
            for (int i = 0; cb != d->CbPort && i < cb->count(); ++i)
                EXPECT_LE(cb->fontMetrics().horizontalAdvance(cb->itemText(i)), field.width())
                    << cb->objectName().toStdString() << " item " << cb->itemText(i).toStdString();
            EXPECT_LE(cb->geometry().right(), cb->parentWidget()->width() - 8) << cb->objectName().toStdString();
        }
        for (QLineEdit* e : {d->EditAutoAns, d->EditInBufSize, d->EditOutBufSize})
            EXPECT_LE(e->geometry().right(), e->parentWidget()->width() - 8) << e->objectName().toStdString();
        // The listed places of the groups are kept; only their width may grow.
        EXPECT_EQ(d->GboxBase->geometry(), QRect(8, 8, 185, 184));
        EXPECT_EQ(d->GBoxModem->pos(), QPoint(200, 8));
        EXPECT_EQ(d->GBoxBuffer->pos(), QPoint(200, 104));
        EXPECT_EQ(d->GBoxModem->width(), d->GBoxBuffer->width());
        EXPECT_LE(d->GBoxModem->geometry().right(), d->width() - 8);
        EXPECT_EQ(d->height(), 228);
        EXPECT_GE(d->width(), 393);
    }
}

// The dialog comes up in the middle of the screen, also when its owner sits in a corner.
TEST_F(SettingsDialogTest, CentredOnTheScreenNotOnTheOwner)
{
    QWidget owner;
    owner.setGeometry(0, 0, 200, 120);
    owner.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));
    Dialog d(&owner, Device.get(), false);
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    const QPoint want = owner.screen()->availableGeometry().center();
    const QPoint got = d.geometry().center();
    EXPECT_LE((got - want).manhattanLength(), 4) << got.x() << "," << got.y() << " vs " << want.x() << "," << want.y();
}

// Each failure in order: the message (entry), the control that gets the focus, nothing applied.
class SettingsDialogValidation : public SettingsDialogTest, public ::testing::WithParamInterface<unsigned long> {};

TEST_P(SettingsDialogValidation, EachMessageInOrderWithFocusAndTitle)
{
    SetThreadLocale(GetParam());
    const Dialog::TMsgStrings m(GetParam());
    const TDeviceState before = StateOf(*Device);
    MessageRecorder rec;
    auto d = Make(true);

    // COM3 is not among the listed ports: nothing is selected.
    ASSERT_EQ(d->CbPort->currentIndex(), -1);
    d->CbSelBaud->setEditText("   ");
    d->CbByteSize->setCurrentIndex(-1);
    d->CbParity->setCurrentIndex(-1);
    d->CbStopBits->setCurrentIndex(-1);
    d->CbFlow->setCurrentIndex(-1);
    d->EditAutoAns->setText("256");
    d->EditInBufSize->setText("4095");
    d->EditOutBufSize->setText("4095");

    struct TStep {
        int Entry;
        const char* Focus;
        std::function<void()> Fix;
    };
    const std::vector<TStep> steps = {
        {17, "CbPort", [&] { d->CbPort->setCurrentIndex(1); }},
        {18, "CbSelBaud", [&] { d->CbSelBaud->setEditText("9600 baud"); }},
        {20, "CbByteSize", [&] { d->CbByteSize->setCurrentIndex(1); }},
        {21, "CbParity", [&] { d->CbParity->setCurrentIndex(3); }},
        {22, "CbStopBits", [&] { d->CbStopBits->setCurrentIndex(1); }},
        {23, "CbFlow", [&] { d->CbFlow->setCurrentIndex(3); }},
        {32, "EditAutoAns", [&] { d->EditAutoAns->setText("-1"); }},
        {32, "EditAutoAns", [&] { d->EditAutoAns->setText("x"); }},
        {32, "EditAutoAns", [&] { d->EditAutoAns->setText(""); }},
        {32, "EditAutoAns", [&] { d->EditAutoAns->setText("$FF"); }},
        {33, "EditInBufSize", [&] { d->EditInBufSize->setText(""); }},
        {33, "EditInBufSize", [&] { d->EditInBufSize->setText("4096"); }},
        {34, "EditOutBufSize", [&] { d->EditOutBufSize->setText("abc"); }},
        {34, "EditOutBufSize", [&] { d->EditOutBufSize->setText("0x1000"); }},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        ClickOk(*d);
        ASSERT_EQ(rec.Shown.size(), i + 1) << "step " << i;
        EXPECT_EQ(rec.Shown[i].Text, m.fGetMsg(steps[i].Entry)) << "step " << i;
        EXPECT_EQ(rec.Shown[i].Title, m.fGetMsg(2));
        EXPECT_EQ(rec.Shown[i].FocusName, steps[i].Focus) << "step " << i;
        EXPECT_EQ(d->result(), 0);
        EXPECT_EQ(StateOf(*Device), before) << "step " << i;
        steps[i].Fix();
    }
}

INSTANTIATE_TEST_SUITE_P(Languages, SettingsDialogValidation, ::testing::Values(1033ul, 2052ul));

TEST_F(SettingsDialogTest, OkAppliesEveryValue)
{
    MessageRecorder rec;
    auto d = Make(false);
    d->CbPort->setCurrentIndex(d->CbPort->findText("ttyKESTROOTHER"));
    d->CbSelBaud->setEditText("9600 baud");
    d->CbByteSize->setCurrentIndex(3);
    d->CbParity->setCurrentIndex(4);
    d->CbStopBits->setCurrentIndex(1);
    d->CbFlow->setCurrentIndex(1);
    d->EditAutoAns->setText("$FF");
    d->EditInBufSize->setText("4096");
    d->EditOutBufSize->setText(" 9000 ");
    ClickOk(*d);
    EXPECT_TRUE(rec.Shown.empty()) << rec.Shown.front().Text.toStdString();
    EXPECT_EQ(d->result(), QDialog::Accepted);
    const TDeviceState want{false, "ttyKESTROOTHER", 9600, 8, ptSpaceParity, sbOne_5_StopBits, fcRtsCts, 255, 4096,
                            9000};
    EXPECT_EQ(StateOf(*Device), want);
}

TEST_F(SettingsDialogTest, SpeedWithoutDigitsPassesZeroOn)
{
    MessageRecorder rec;
    auto d = Make(false);
    FillValid(*d);
    d->CbSelBaud->setEditText("fast");
    ClickOk(*d);
    EXPECT_TRUE(rec.Shown.empty());
    EXPECT_EQ(Device->fGetComm32()->fGetBaud(), 0u);
}

TEST_F(SettingsDialogTest, OpenOnOkOpensAClosedPort)
{
    TPty pty;
    ASSERT_FALSE(pty.SlavePath.empty());
    AddAlias("COM7", pty.SlavePath);
    MessageRecorder rec;
    auto d = Make(true);
    FillValid(*d);
    d->CbPort->setCurrentIndex(d->CbPort->findText("COM7"));
    ASSERT_EQ(d->CbPort->itemText(0), "COM7"); // numbered ports first
    ClickOk(*d);
    EXPECT_TRUE(rec.Shown.empty()) << rec.Shown.front().Text.toStdString();
    EXPECT_EQ(d->result(), QDialog::Accepted);
    EXPECT_TRUE(Device->fGetActive());
    EXPECT_EQ(Device->fGetPortName(), "COM7");
    Device->fSetActive(false);
}

// The device refuses the new port: every saved value comes back, the old port is open again, the
// library's text is shown and CbPort has the focus.
TEST_F(SettingsDialogTest, ApplyFailureRestoresEverything)
{
    for (unsigned long lcid : {1033ul, 2052ul}) {
        SCOPED_TRACE(lcid);
        SetThreadLocale(lcid);
        TPty pty;
        ASSERT_FALSE(pty.SlavePath.empty());
        Device->fSetPortName(pty.SlavePath);
        Device->fSetActive(true);
        ASSERT_TRUE(Device->fGetActive());
        const TDeviceState before = StateOf(*Device);
        int closes = 0, opens = 0;
        Device->BeforeClose = [&](TObject*) { ++closes; };
        Device->AfterOpen = [&](TObject*) { ++opens; };

        MessageRecorder rec;
        auto d = Make(false);
        d->CbPort->setCurrentIndex(d->CbPort->findText(MissingPort));
        d->CbSelBaud->setEditText("38400");
        d->CbByteSize->setCurrentIndex(3);
        d->CbParity->setCurrentIndex(1);
        d->CbStopBits->setCurrentIndex(0);
        d->CbFlow->setCurrentIndex(3);
        d->EditAutoAns->setText("9");
        d->EditInBufSize->setText("10000");
        d->EditOutBufSize->setText("12000");
        ClickOk(*d);

        ASSERT_EQ(rec.Shown.size(), 1u);
        EXPECT_EQ(rec.Shown[0].Text.toStdString(), EComm32Error::BuildMessage(ecOpenPort, MissingPort, lcid));
        EXPECT_EQ(rec.Shown[0].Title, Dialog::TMsgStrings(lcid).fGetMsg(2));
        EXPECT_EQ(rec.Shown[0].FocusName, "CbPort");
        EXPECT_EQ(d->result(), 0);
        EXPECT_TRUE(d->isVisible());
        EXPECT_EQ(StateOf(*Device), before);
        EXPECT_TRUE(Device->fGetActive());
        EXPECT_EQ(opens, 1);
        EXPECT_GE(closes, 1);
        Device->BeforeClose = nullptr;
        Device->AfterOpen = nullptr;
        Device->fSetActive(false);
    }
}

TEST_F(SettingsDialogTest, EnterMovesAlongTheChainThenValidates)
{
    MessageRecorder rec;
    auto d = Make(false);
    FillValid(*d);
    d->CbSelBaud->setFocus();
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : d->CbSelBaud, Qt::Key_Return);
    EXPECT_EQ(d->focusWidget(), d->CbParity);
    EXPECT_TRUE(rec.Shown.empty());
    EXPECT_EQ(d->result(), 0);

    const char* chain[] = {"CbParity",    "CbByteSize",    "CbStopBits",    "CbFlow",
                           "EditAutoAns", "EditInBufSize", "EditOutBufSize"};
    for (std::size_t i = 0; i + 1 < std::size(chain); ++i) {
        ASSERT_EQ(d->focusWidget()->objectName(), chain[i]);
        QTest::keyClick(d->focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_EQ(d->focusWidget()->objectName(), chain[i + 1]);
    }
    EXPECT_EQ(d->result(), 0);
    EXPECT_EQ(Device->fGetPortName(), "COM3");

    // Enter in the last field validates and applies.
    QTest::keyClick(d->EditOutBufSize, Qt::Key_Return);
    EXPECT_TRUE(rec.Shown.empty());
    EXPECT_EQ(d->result(), QDialog::Accepted);
    EXPECT_EQ(Device->fGetPortName(), MissingPort);
    EXPECT_EQ(Device->fGetComm32()->fGetBaud(), 9600u);
}

TEST_F(SettingsDialogTest, EnterInAFieldThatFailsValidationOnlyMovesOn)
{
    MessageRecorder rec;
    auto d = Make(false);
    d->CbPort->setFocus();
    QTest::keyClick(d->CbPort, Qt::Key_Return);
    QWidget* f = d->focusWidget();
    EXPECT_TRUE(f == d->CbSelBaud || f == d->CbSelBaud->lineEdit());
    EXPECT_TRUE(rec.Shown.empty());
}

TEST_F(SettingsDialogTest, CancelAndEscapeChangeNothing)
{
    const TDeviceState before = StateOf(*Device);
    for (int way = 0; way < 2; ++way) {
        MessageRecorder rec;
        auto d = Make(true);
        FillValid(*d);
        d->CbSelBaud->setEditText("1200");
        if (way == 0) QTest::mouseClick(d->BnCancel, Qt::LeftButton);
        else QTest::keyClick(d->EditAutoAns, Qt::Key_Escape);
        EXPECT_EQ(d->result(), QDialog::Rejected);
        EXPECT_FALSE(d->isVisible());
        EXPECT_TRUE(rec.Shown.empty());
        EXPECT_EQ(StateOf(*Device), before);
    }
}

TEST_F(SettingsDialogTest, DesignerShowsAboutAndDefault)
{
    Device->fSetDesigning(true);
    auto d = Make(false);
    EXPECT_TRUE(d->BnAbout->isVisible());
    EXPECT_TRUE(d->BnDefault->isVisible());
    EXPECT_EQ(d->BnOK->x(), 232);
    d->CbSelBaud->setEditText("300");
    d->EditInBufSize->setText("5");
    QTest::mouseClick(d->BnDefault, Qt::LeftButton);
    EXPECT_EQ(d->CbSelBaud->currentText(), "115200");
    EXPECT_EQ(d->CbParity->currentIndex(), 0);
    EXPECT_EQ(d->CbByteSize->currentText(), "8");
    EXPECT_EQ(d->CbStopBits->currentText(), "1");
    EXPECT_EQ(d->CbFlow->currentIndex(), 0);
    EXPECT_EQ(d->EditAutoAns->text(), "0");
    EXPECT_EQ(d->EditInBufSize->text(), "8192");
    EXPECT_EQ(d->EditOutBufSize->text(), "8192");
    // Defaults are not applied until OK.
    EXPECT_EQ(Device->fGetComm32()->fGetBaud(), 19200u);
}

// Without a hook the failure is a real message box: error icon, the dialog's caption, one OK button.
TEST_F(SettingsDialogTest, RealMessageBoxIsAnErrorBoxTitledWithTheCaption)
{
    SetThreadLocale(1033);
    auto d = Make(false);
    QString seenTitle, seenText;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons seenButtons;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seenTitle = box->windowTitle();
            seenText = box->text();
            seenIcon = box->icon();
            seenButtons = box->standardButtons();
            box->accept();
        } else if (std::chrono::steady_clock::now() > deadline) {
            // Never leave the test hanging on a box we could not find.
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* b = qobject_cast<QMessageBox*>(w)) b->reject();
        }
    });
    closer.start(10);
    ClickOk(*d); // COM3 is not listed
    closer.stop();
    EXPECT_EQ(seenTitle, "COM port Setup");
    EXPECT_EQ(seenText, "Must select COM Port");
    EXPECT_EQ(seenIcon, QMessageBox::Critical);
    EXPECT_EQ(seenButtons, QMessageBox::Ok);
    EXPECT_EQ(d->focusWidget(), d->CbPort);
}

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
