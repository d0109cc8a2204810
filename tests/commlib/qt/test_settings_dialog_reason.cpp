// Port settings dialog, offscreen: the apply-failure box with the reason in plain words; what each listed port is.
#include "comm32.h"
#include "comm32_error.h"
#include "comm32_portinfo.h"
#include "comm32_reason.h"
#include "fake_usb_sysfs.h"
#include "pty_link.h"
#include "lxcommdevice.h"
#include "lxcommdevice_settings.h"

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

using namespace KestroComm32;
namespace fs = std::filesystem;
using Dialog = TForm_LxCommDevice_Settings;

namespace {

const char* const MissingPort = "ttyKESTROMISSING"; // listed by the fake sysfs, no /dev node

// A fake sysfs: an FTDI adapter (tty below the interface), an Arduino on cdc_acm (the interface is
// the tty's device), a tty without a device behind its name in /dev; and a port map whose COM5
// leads to a pseudo-terminal.
class SettingsDialogReasonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Root = fs::temp_directory_path() / ("kestro-dialog-reason-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Root);
        const fs::path sys = Root / "sys";
        fakesys::AddUsbTty(sys, {"ttyUSB0", "1-2", "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "usb-serial",
                                 "ftdi_sio", true});
        fakesys::AddUsbTty(sys, {"ttyACM0", "1-3", "2341", "0043", "Arduino (www.arduino.cc)", "",
                                 "75833353035351C0E1B1", "usb", "cdc_acm", false});
        fs::create_directories(sys / "class" / "tty" / MissingPort / "device");
        TCommSerialPortInfo::SetSysfsRoot(sys.string());

        ASSERT_TRUE(Pty.Ok());
        PtyPath = Pty.SlavePath;
        fs::create_directories(Root / "map");
        fs::create_symlink(PtyPath, Root / "map" / "COM5");
        setenv("COMPORTS_DIR", (Root / "map").c_str(), 1);

        Device = std::make_unique<TLxCommDevice>();
    }
    void TearDown() override
    {
        Device.reset();
        SetThreadLocale(0);
        TCommSerialPortInfo::SetSysfsRoot("");
        unsetenv("COMPORTS_DIR");
        fs::remove_all(Root);
    }

    std::unique_ptr<Dialog> Make()
    {
        auto d = std::make_unique<Dialog>(nullptr, Device.get(), true);
        d->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(d.get()));
        return d;
    }

    // Chooses port and presses OK; the real box that comes up is read and closed.
    void ChooseAndPressOk(Dialog& d, const QString& port, QString& text, QString& informative, QMessageBox::Icon& icon)
    {
        d.CbPort->setCurrentIndex(d.CbPort->findText(port));
        EXPECT_GE(d.CbPort->currentIndex(), 0) << port.toStdString();
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                informative = box->informativeText();
                icon = box->icon();
                box->accept();
            }
        });
        closer.start(10);
        QTest::mouseClick(d.BnOK, Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !text.isEmpty(); }, 10000));
    }

    fs::path Root;
    ptytest::TPty Pty;
    std::string PtyPath;
    std::unique_ptr<TLxCommDevice> Device;
};

} // namespace

// An unplugged adapter that is still listed, and a port another program holds (through its COMn
// alias): the library's message is the main text, the reason in plain words the informative text.
TEST_F(SettingsDialogReasonTest, ApplyFailureBoxHasTheMessageAndTheExplanation)
{
    for (unsigned long lcid : {1033ul, 2052ul}) {
        SCOPED_TRACE(lcid);
        SetThreadLocale(lcid);
        {
            auto d = Make();
            QString text, informative;
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            ChooseAndPressOk(*d, MissingPort, text, informative, icon);
            TSystemReason missing;
            missing.Error = ENOENT;
            missing.DevicePath = std::string("/dev/") + MissingPort;
            EXPECT_EQ(text.toStdString(), EComm32Error::BuildMessage(ecOpenPort, MissingPort, lcid));
            EXPECT_EQ(informative.toStdString(), ExplainOpenFailure(missing, lcid));
            EXPECT_EQ(icon, QMessageBox::Critical);
            EXPECT_TRUE(d->isVisible());
            EXPECT_FALSE(Device->fGetActive());
        }
        {
            TComm32 holder;
            holder.fSetPortName(PtyPath);
            holder.Open();
            auto d = Make();
            QString text, informative;
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            ChooseAndPressOk(*d, "COM5", text, informative, icon);
            TSystemReason busy;
            busy.Error = EBUSY;
            busy.DevicePath = (Root / "map" / "COM5").string();
            busy.AliasName = "COM5";
            busy.AliasLink = busy.DevicePath;
            busy.AliasTarget = PtyPath;
            EXPECT_EQ(text.toStdString(), EComm32Error::BuildMessage(ecOpenPort, "COM5", lcid));
            EXPECT_EQ(informative.toStdString(), ExplainOpenFailure(busy, lcid));
            EXPECT_TRUE(informative.contains(QString::fromStdString(PtyPath)));
            holder.Close();
        }
    }
}

// Each entry keeps its name as its text and tells what it is in its tooltip.
TEST_F(SettingsDialogReasonTest, EveryPortTellsWhatItIs)
{
    auto d = Make();
    auto tip = [&](const char* name) {
        const int i = d->CbPort->findText(name, Qt::MatchExactly);
        EXPECT_GE(i, 0) << name;
        return d->CbPort->itemData(i, Qt::ToolTipRole).toString().toStdString();
    };
    EXPECT_EQ(tip("ttyUSB0"), "/dev/ttyUSB0 (ftdi_sio)\nUSB 0403:6001 FTDI FT232R USB UART\nS/N A50285BI");
    EXPECT_EQ(tip("ttyACM0"),
              "/dev/ttyACM0 (cdc_acm)\nUSB 2341:0043 Arduino (www.arduino.cc)\nS/N 75833353035351C0E1B1");
    EXPECT_EQ(tip("COM5"), "COM5 \u2192 " + PtyPath);
    EXPECT_EQ(tip(MissingPort), std::string("/dev/") + MissingPort);
    QStringList names;
    for (int i = 0; i < d->CbPort->count(); ++i) names << d->CbPort->itemText(i);
    EXPECT_EQ(names, QStringList({"COM5", "ttyACM0", "ttyKESTROMISSING", "ttyUSB0"}));

    // The same details without the dialog: a COMn without a link is the fixed device.
    const TPortDetails com9 = TCommSerialPortInfo::Details("COM9");
    EXPECT_EQ(com9.DevicePath, "/dev/ttyS8");
    EXPECT_EQ(com9.AliasLink, "");
    const TPortDetails com5 = TCommSerialPortInfo::Details("COM5");
    EXPECT_EQ(com5.AliasLink, (Root / "map" / "COM5").string());
    EXPECT_EQ(com5.DevicePath, PtyPath);
}

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
