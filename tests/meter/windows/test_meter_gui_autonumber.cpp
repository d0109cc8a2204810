// Ormet-Master against the meter simulator on a pty standing in for a USB adapter that the port list numbers itself.
#include <QComboBox>
#include <QPushButton>
#include <QtTest>

#include "comm32_portinfo.h"
#include "comsetdlg.h"
#include "fake_dev_serial.h"
#include "meter_gui_driver.h"
#include "ormetmasterdlg.h"

#include <filesystem>

namespace fs = std::filesystem;
using KestroComm32::TCommSerialPortInfo;

class TestMeterAutoNumber : public QObject {
    Q_OBJECT

private slots:
    // COM3 to COM13 are kept for adapters that are out, so the new one gets COM14: listed after the
    // twelve with its device as the tooltip, chosen, and measured through.
    void NewAdapterIsMeasuredThroughItsNumber()
    {
        MeterSim sim(1);
        QVERIFY2(sim.Start(), "the meter simulator did not start");
        QTemporaryDir root;
        QVERIFY(root.isValid());
        fakesys::TFakeMachine machine{fs::path(root.path().toStdString())};
        const fakesys::TUsbTty adapter{"ttyUSB0",         "1-2",    "0403",       "6001",     "FTDI",
                                       "FT232R USB UART", "A10001", "usb-serial", "ftdi_sio", true};
        machine.Plug(adapter, sim.Path().toStdString());
        const fs::path map = machine.Root / "map";
        fs::create_directories(map);
        for (int n = 3; n <= 13; ++n)
            fs::create_symlink(machine.Serial() / "by-id" / ("usb-gone-" + std::to_string(n)),
                               map / ("COM" + std::to_string(n)));
        TCommSerialPortInfo::SetSysfsRoot(machine.Sys().string());
        TCommSerialPortInfo::SetSerialRoot(machine.Serial().string());
        qputenv("COMPORTS_DIR", QByteArray::fromStdString(map.string()));

        COrmetMasterDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        ModalDriver driver;
        QStringList items;
        QString tip;
        driver.onDialog = [&](QWidget* w) {
            auto* com = qobject_cast<CComSetDlg*>(w);
            if (!com) return;
            QComboBox* ports = com->findChild<QComboBox*>(QString::number(CComSetDlg::IDC_COMBO_PORT));
            for (int i = 0; i < ports->count(); ++i) items << ports->itemText(i);
            const int index = ports->findText(QStringLiteral("COM14"));
            tip = index >= 0 ? ports->itemData(index, Qt::ToolTipRole).toString() : QString();
            ports->setCurrentIndex(index);
            com->findChild<QPushButton*>(QStringLiteral("1"))->click();
        };
        dlg.findChild<QPushButton*>(QStringLiteral("1003"))->click();
        QVERIFY(QTest::qWaitFor([&] { return !items.isEmpty() && !QApplication::activeModalWidget(); }, 10000));

        QStringList expected;
        for (int n = 1; n <= 12; ++n) expected << QStringLiteral("COM%1").arg(n);
        expected << QStringLiteral("COM14");
        QCOMPARE(items, expected);
        QCOMPARE(tip, sim.Path());
        QCOMPARE(QString::fromStdString(fs::read_symlink(map / "COM14").string()),
                 QString::fromStdString((machine.Serial() / "by-id" / fakesys::ByIdName(adapter)).string()));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Ormet上位机 - Tavisto  COM14, 9600"));

        QVERIFY(sim.Command(QStringLiteral("input 8=95")));
        dlg.findChild<QPushButton*>(QStringLiteral("1002"))->click();
        QVERIFY(QTest::qWaitFor([&] { return dlg.m_PowerFactor.Control()->Text() == QStringLiteral("0.95"); }, 10000));
        QVERIFY(!sim.LinesStarting(QStringLiteral("request ")).isEmpty());
        dlg.findChild<QPushButton*>(QStringLiteral("1002"))->click();
        QVERIFY(QTest::qWaitFor([&] { return !dlg.IsWorkerRunning(); }, 20000));
        QCOMPARE(driver.Texts(), QStringList());

        TCommSerialPortInfo::SetSysfsRoot("");
        TCommSerialPortInfo::SetSerialRoot("");
        qunsetenv("COMPORTS_DIR");
    }
};

QTEST_MAIN(TestMeterAutoNumber)
#include "test_meter_gui_autonumber.moc"
