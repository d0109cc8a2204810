// The device's SettingsDialog: a modal showing of the settings dialog for this device, true only for OK.
#include "comm32_portinfo.h"
#include "lxcommdevice.h"
#include "lxcommdevice_settings.h"
#include "message_box.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include <unistd.h>

using namespace KestroComm32;
namespace fs = std::filesystem;

namespace {

// Acts on the modal dialog once its event loop runs; gives up (rejects) after a few seconds.
void WhenShown(const std::function<void(TForm_LxCommDevice_Settings&)>& act, bool* seen)
{
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, act, seen] {
        auto* dialog = qobject_cast<TForm_LxCommDevice_Settings*>(QApplication::activeModalWidget());
        if (dialog) {
            *seen = true;
            timer->stop();
            timer->deleteLater();
            act(*dialog);
        } else if (++*tries > 500) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

class DeviceSettingsDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        Root = fs::temp_directory_path() / ("kestro-devdlg-" + std::to_string(::getpid()));
        fs::remove_all(Root);
        fs::create_directories(Root / "sys" / "class" / "tty" / "ttyKESTRODEV" / "device");
        fs::create_directories(Root / "map");
        TCommSerialPortInfo::SetSysfsRoot((Root / "sys").string());
        setenv("COMPORTS_DIR", (Root / "map").c_str(), 1);
        SetMessageBoxHook([this](QWidget*, const QString& text, const QString&, QMessageBox::Icon) {
            Messages.push_back(text);
            return true;
        });
        Device.fSetPortName("ttyKESTRODEV");
        Device.fSetBaud(br19200);
    }
    void TearDown() override
    {
        SetMessageBoxHook(nullptr);
        TCommSerialPortInfo::SetSysfsRoot("");
        unsetenv("COMPORTS_DIR");
        fs::remove_all(Root);
    }

    fs::path Root;
    TLxCommDevice Device;
    std::vector<QString> Messages;
};

} // namespace

TEST_F(DeviceSettingsDialog, CancelReturnsFalseAndChangesNothing)
{
    bool seen = false;
    WhenShown(
        [](TForm_LxCommDevice_Settings& d) {
            d.CbSelBaud->setEditText("9600");
            d.BnCancel->click();
        },
        &seen);
    EXPECT_FALSE(Device.SettingsDialog(nullptr, false));
    EXPECT_TRUE(seen);
    EXPECT_EQ(Device.fGetBaud(), br19200);
}

TEST_F(DeviceSettingsDialog, OkReturnsTrueAndTheDialogWorkedOnThisDevice)
{
    bool seen = false;
    bool hidden = false;
    WhenShown(
        [&hidden](TForm_LxCommDevice_Settings& d) {
            hidden = !d.BnAbout->isVisible() && !d.BnDefault->isVisible(); // not in a designer
            EXPECT_EQ(d.CbPort->currentText(), "ttyKESTRODEV");
            d.CbSelBaud->setEditText("9600");
            d.BnOK->click();
        },
        &seen);
    EXPECT_TRUE(Device.SettingsDialog(nullptr, false));
    EXPECT_TRUE(seen);
    EXPECT_TRUE(hidden);
    EXPECT_TRUE(Messages.empty());
    EXPECT_EQ(Device.fGetBaud(), br9600);
    EXPECT_FALSE(Device.fGetActive()); // neither open before nor asked to open

    // Asked to open a port that has no device node: the failure is shown and OK does not end it.
    seen = false;
    WhenShown(
        [](TForm_LxCommDevice_Settings& d) {
            d.BnOK->click();
            QTimer::singleShot(0, &d, [&d] { d.BnCancel->click(); });
        },
        &seen);
    EXPECT_FALSE(Device.SettingsDialog(nullptr, true));
    EXPECT_TRUE(seen);
    EXPECT_EQ(Messages.size(), 1u);
    EXPECT_FALSE(Device.fGetActive());
}

int main(int argc, char** argv)
{
    // Also when the build lists the tests, where no display is set up.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
