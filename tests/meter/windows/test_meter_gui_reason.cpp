// Ormet-Master offscreen: "打开串口失败!" with the reason in plain words under it; what each COM port maps to.
#include <QComboBox>
#include <QPushButton>
#include <QtTest>

#include <filesystem>
#include <pty.h>
#include <unistd.h>

#include "comm32_reason.h"
#include "comsetdlg.h"
#include "meter_gui_driver.h"
#include "ormetmasterdlg.h"

class TestMeterReason : public QObject {
    Q_OBJECT

private slots:
    // COM2 of the port map points at an adapter that is not there; 清零电量 tries to open it.
    void OpenFailureKeepsItsTextAndExplainsWhy()
    {
        QTemporaryDir map;
        QVERIFY(QFile::link("/nonexistent/ttyUSB9", map.filePath("COM2")));
        qputenv("COMPORTS_DIR", map.path().toLocal8Bit());
        COrmetMasterDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        dlg.ApplyComSet(2, 9600);

        ModalDriver driver;
        QString informative;
        driver.onMessage = [&](const SeenMessage&) {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                informative = box->informativeText();
        };
        dlg.findChild<QPushButton*>(QString::number(COrmetMasterDlg::IDC_BUTTON_CLEAR_ENERGY))->click();
        QVERIFY(QTest::qWaitFor([&] { return !driver.messages.empty() && !dlg.IsWorkerRunning(); }, 10000));

        QCOMPARE(driver.Texts(), QStringList({QStringLiteral("打开串口失败!")}));
        QCOMPARE(driver.messages[0].title, QStringLiteral("Ormet-Master"));
        KestroComm32::TSystemReason expected;
        expected.Error = ENOENT;
        expected.DevicePath = map.filePath("COM2").toStdString();
        expected.AliasName = "COM2";
        expected.AliasLink = expected.DevicePath;
        expected.AliasTarget = "/nonexistent/ttyUSB9";
        expected.AliasDangling = true;
        QCOMPARE(informative.toStdString(), KestroComm32::ExplainOpenFailure(expected, 2052));
        QVERIFY(informative.contains(QStringLiteral("端口映射")));
        qunsetenv("COMPORTS_DIR");
    }

    // COM1 leads to a pseudo-terminal, COM2's link dangles, COM3 has no link (/dev/ttyS2 if that exists).
    void EachPortTellsItsDeviceOrThatItIsNotMapped()
    {
        QTemporaryDir map;
        int master = -1, slave = -1;
        char name[128];
        QCOMPARE(openpty(&master, &slave, name, nullptr, nullptr), 0);
        QVERIFY(QFile::link(QString::fromLocal8Bit(name), map.filePath("COM1")));
        QVERIFY(QFile::link("/nonexistent/ttyUSB9", map.filePath("COM2")));
        qputenv("COMPORTS_DIR", map.path().toLocal8Bit());
        // With COM1 a link, the machine's own ttyS0 would otherwise be numbered COM3.
        qputenv("COMPORTS_AUTO", "0");

        CComSetDlg dlg;
        QComboBox* ports = dlg.m_ComboPort;
        QCOMPARE(ports->count(), 12);
        for (int i = 0; i < 12; ++i) QCOMPARE(ports->itemText(i), QStringLiteral("COM%1").arg(i + 1));
        auto tip = [&](int i) { return ports->itemData(i, Qt::ToolTipRole).toString(); };
        QCOMPARE(tip(0), QString::fromLocal8Bit(name));
        QCOMPARE(tip(1), QStringLiteral("未映射"));
        QCOMPARE(tip(2),
                 std::filesystem::exists("/dev/ttyS2") ? QStringLiteral("/dev/ttyS2") : QStringLiteral("未映射"));
        close(master);
        close(slave);
        qunsetenv("COMPORTS_AUTO");
        qunsetenv("COMPORTS_DIR");
    }
};

QTEST_MAIN(TestMeterReason)
#include "test_meter_gui_reason.moc"
