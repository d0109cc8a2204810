// Writes busprobe-main.png, the main window after a decoded 03H read from a libmodbus slave,
// busprobe-record.png, the window grown by its exchange record pane, the open-failure box (busprobe-open-failure.png in Chinese, -en in English) and the port settings
// dialog with an entry's tooltip showing (busprobe-port-tooltip-usb.png, -alias), into the folder
// named on the command line. Usage: busprobe_screenshot <folder>
#include "fake_usb_sysfs.h"
#include "item_tooltip_shot.h"
#include "comm32_error.h"
#include "comm32_portinfo.h"
#include "lxcommdevice.h"
#include "lxcommdevice_settings.h"
#include "mainform.h"
#include "message_box.h"
#include "modbus_slave.h"

#include <QApplication>
#include <QComboBox>
#include <QSpinBox>
#include <QDir>
#include <QFontDatabase>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

namespace {

bool Save(const QImage& image, const QString& path)
{
    if (image.isNull() || !image.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", path.toLocal8Bit().constData());
        return false;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());
    return true;
}

// Presses 打开串口 on a port that will not open and pictures the box that says so.
bool ShotOpenFailure(TForm1& form, unsigned long lcid, const QString& path)
{
    KestroComm32::SetThreadLocale(lcid);
    bool saved = false, seen = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        seen = true;
        saved = !box->informativeText().isEmpty() && Save(box->grab().toImage(), path);
        box->accept();
    });
    closer.start(50);
    QTest::mouseClick(form.Button4, Qt::LeftButton);
    closer.stop();
    KestroComm32::SetThreadLocale(0);
    if (!seen) std::fprintf(stderr, "no open-failure box\n");
    return saved;
}

// The port settings dialog in Chinese with the list open and the tooltip of entry name showing.
bool ShotPortToolTip(TForm1& form, const QString& name, const QString& path)
{
    KestroComm32::SetThreadLocale(2052);
    KestroComm32::TForm_LxCommDevice_Settings dialog(&form, form.LxCommDevice1, false);
    dialog.show();
    bool ok = QTest::qWaitForWindowExposed(&dialog);
    const int index = dialog.CbPort->findText(name);
    if (index < 0) std::fprintf(stderr, "%s is not listed\n", name.toLocal8Bit().constData());
    ok = ok && index >= 0 && Save(shots::ShotWithItemToolTip(&dialog, dialog.CbPort, index), path);
    dialog.reject();
    KestroComm32::SetThreadLocale(0);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (!QFontDatabase::families().contains("WenQuanYi Zen Hei")) {
        std::fprintf(stderr, "the CJK font WenQuanYi Zen Hei is not installed (fonts-wqy-zenhei)\n");
        return 1;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);

    TModbusPtySlave slave(5);
    QTemporaryDir settings;
    TForm1::ExecutableFolder = settings.path();
    KestroComm32::SetMessageBoxHook([](QWidget*, const QString& text, const QString&, QMessageBox::Icon) {
        std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
        return true;
    });
    auto form = std::make_unique<TForm1>();
    form->show();

    form->Edit06_485Addr->setText("1");
    form->Edit06_RegAddr->setText("1");
    form->Edit06_RegValue->setText("$1234");
    form->Edit03_485Addr->setText("1");
    form->Edit03_RegAddr->setText("0");
    form->Edit03_RegNum->setText("4");
    form->EditSend->setText("01 04 00 00 00 02");
    form->LxCommDevice1->fSetPortNo(5);
    QTest::mouseClick(form->Button4, Qt::LeftButton);
    if (!form->LxCommDevice1->fGetActive()) return 1;

    const auto lines = [&] { return form->MemoReceive->toPlainText().count('\n'); };
    QTest::mouseClick(form->ButtonSend_06, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return lines() == 1; }, 5000)) return 1;
    QTest::mouseClick(form->ButtonSendWithCRC, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return lines() == 2; }, 5000)) return 1;
    QTest::mouseClick(form->ButtonSend_03, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return form->Edit03_RegValue->text() == "0100 1234 0102 0103 "; }, 5000)) {
        std::fprintf(stderr, "no decoded reply\n");
        return 1;
    }
    const QString path = QDir(folder).filePath("busprobe-main.png");
    if (!form->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", path.toLocal8Bit().constData());
        return 1;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());

    // The record pane after those three, an exception reply, a read in signed numbers and a request nobody
    // answers (last: libmodbus, hearing another slave's request, stays deaf for a while).
    form->ShowRecordPane(true);
    form->SpinReplyTimeout->setValue(300);
    form->ComboFormat[2]->setCurrentIndex(form->ComboFormat[2]->findText("有符号"));
    form->EditSend->setText("01 03 00 C8 00 01");
    QTest::mouseClick(form->ButtonSendWithCRC, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return lines() == 4; }, 5000)) {
        std::fprintf(stderr, "no exception reply: %s\n", form->MemoReceive->toPlainText().toUtf8().constData());
        return 1;
    }
    QTest::mouseClick(form->ButtonSend_03, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return form->Edit03_RegValue->text() == "256 4660 258 259 "; }, 5000)) {
        std::fprintf(stderr, "no signed values: %s\n", form->Edit03_RegValue->text().toUtf8().constData());
        return 1;
    }
    form->EditSend->setText("09 03 00 00 00 01");
    QTest::mouseClick(form->ButtonSendWithCRC, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return form->Record.Counters().NoReply == 1; }, 5000)) {
        std::fprintf(stderr, "no time-out\n");
        return 1;
    }
    const QString recordPath = QDir(folder).filePath("busprobe-record.png");
    if (!form->grab().save(recordPath)) return 1;
    std::printf("%s\n", recordPath.toLocal8Bit().constData());
    form->ShowRecordPane(false);

    // COM7 of the port map names an adapter that is not plugged in.
    QTest::mouseClick(form->Button6, Qt::LeftButton);
    QFile::link("/nonexistent/ttyUSB9", QString::fromStdString(slave.PortMapDir() + "/COM7"));
    form->LxCommDevice1->fSetPortName("COM7");
    KestroComm32::SetMessageBoxHook(nullptr);
    bool ok = ShotOpenFailure(*form, 2052, QDir(folder).filePath("busprobe-open-failure.png"));
    ok = ShotOpenFailure(*form, 1033, QDir(folder).filePath("busprobe-open-failure-en.png")) && ok;

    QTemporaryDir sysfs;
    // One FTDI adapter, ttyUSB0, so the list has an entry with USB details.
    fakesys::AddUsbTty(
        std::filesystem::path(sysfs.path().toStdString()) / "sys",
        {"ttyUSB0", "1-2", "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "usb-serial", "ftdi_sio", true});
    KestroComm32::TCommSerialPortInfo::SetSysfsRoot(sysfs.path().toStdString() + "/sys");
    ok = ShotPortToolTip(*form, "ttyUSB0", QDir(folder).filePath("busprobe-port-tooltip-usb.png")) && ok;
    ok = ShotPortToolTip(*form, "COM5", QDir(folder).filePath("busprobe-port-tooltip-alias.png")) && ok;
    KestroComm32::TCommSerialPortInfo::SetSysfsRoot("");
    form.reset();
    return ok ? 0 : 1;
}
