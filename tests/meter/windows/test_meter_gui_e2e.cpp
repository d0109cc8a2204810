// End-to-end tests of Ormet-Master's main window against the meter simulator on a pty mapped as COM1.
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "comsetdlg.h"
#include "dlgparameterset.h"
#include "dlgparametersetin.h"
#include "dlgpassword.h"
#include "failure_reason.h"
#include "meter_gui_driver.h"
#include "ormetmasterdlg.h"
#include "serial.h"

#include <map>

namespace {
template <class T>
T* Child(QWidget* parent, int id)
{
    return parent->findChild<T*>(QString::number(id));
}

void Click(QWidget* dlg, int id) { Child<QPushButton>(dlg, id)->click(); }

QString Text(CIanalogdisplayx& d) { return d.Control()->Text(); }

// How the measuring round of a status line row goes wrong.
enum Round { FaultOnThirdRead, PortCannotOpen, UnpluggedBeforeReopen };
} // namespace

class TestMeterEndToEnd : public QObject {
    Q_OBJECT
    MeterSim* sim = nullptr;
    COrmetMasterDlg* dlg = nullptr;
    ModalDriver* driver = nullptr;
    int comChoice = 0; // index chosen in the settings dialog
    std::function<void(QWidget*)> onEditor;
    QStringList shownWithPortFree; // messages that came up after the link had been closed

    // True if the window's port can be opened now, that is, the window holds it no longer.
    bool PortFree()
    {
        CSerial probe;
        probe.PortNumber = dlg->Port();
        probe.BaudRate = 9600;
        return probe.Open();
    }

    int LastRequest()
    {
        const QStringList req = sim->LinesStarting("request ");
        return req.isEmpty() ? 0 : req.last().section(' ', 1, 1).toInt();
    }
    bool Idle(int ms = 15000)
    {
        return QTest::qWaitFor([&] { return !dlg->IsWorkerRunning(); }, ms);
    }
    void ExpectIdleButtons()
    {
        for (int id : {1003, 1002, 3, 4, 6, 2})
            QVERIFY2(Child<QPushButton>(dlg, id)->isEnabled(), qPrintable(QString::number(id)));
        QCOMPARE(Child<QPushButton>(dlg, 1002)->text(), QStringLiteral("开始测量"));
    }
    // The window refuses every way of closing while a worker runs.
    void ExpectCloseRefused()
    {
        dlg->reject();
        QVERIFY(dlg->isVisible());
        QVERIFY(!dlg->close());
        QVERIFY(dlg->isVisible());
        QTest::keyClick(dlg, Qt::Key_Escape);
        QVERIFY(dlg->isVisible());
        QVERIFY(!Child<QPushButton>(dlg, 2)->isEnabled());
    }
    QString Status() { return Child<QLabel>(dlg, COrmetMasterDlg::IDC_STATUS)->toolTip(); }
    // Why the window's link would not open COM<n> now, as the status line puts it.
    QString OpenFailure(int n)
    {
        CSerial probe;
        probe.PortNumber = n;
        probe.BaudRate = 9600;
        if (probe.Open()) return QString();
        return QString::fromStdString(OpenFailureText(probe.LastReason()));
    }
    void ExpectMessages(const QStringList& texts)
    {
        QCOMPARE(driver->Texts(), texts);
        // Every worker shows its message before it closes the link.
        QCOMPARE(shownWithPortFree, QStringList());
        for (const SeenMessage& m : driver->messages) {
            QCOMPARE(m.title, QStringLiteral("Ormet-Master"));
            QCOMPARE(m.icon, QMessageBox::NoIcon);
        }
    }

private slots:
    void initTestCase()
    {
        sim = new MeterSim(1);
        QVERIFY2(sim->Start(), "the meter simulator did not start");
        // COM2 names a device that does not exist.
        QVERIFY(QFile::link(sim->Dir() + "/no-such-tty", sim->Dir() + "/COM2"));
    }
    void cleanupTestCase()
    {
        delete sim;
        sim = nullptr;
    }

    void init()
    {
        QVERIFY(sim->Command("clear"));
        dlg = new COrmetMasterDlg;
        dlg->show();
        driver = new ModalDriver;
        comChoice = 0;
        onEditor = nullptr;
        shownWithPortFree.clear();
        driver->onMessage = [this](const SeenMessage& m) {
            if (dlg && PortFree()) shownWithPortFree << m.text;
        };
        driver->onDialog = [this](QWidget* w) {
            if (auto* com = qobject_cast<CComSetDlg*>(w)) {
                Child<QComboBox>(com, 1004)->setCurrentIndex(comChoice);
                Click(com, 1);
            } else if (onEditor) {
                onEditor(w);
            }
        };
        Click(dlg, 1003);
    }
    void cleanup()
    {
        if (dlg && dlg->IsWorkerRunning()) {
            if (dlg->findChild<QPushButton*>("1002")->text() != QStringLiteral("开始测量")) Click(dlg, 1002);
            Idle(20000);
        }
        delete dlg;
        dlg = nullptr;
        delete driver;
        driver = nullptr;
    }

    void settingsUnlockTheButtons()
    {
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Ormet上位机 - Tavisto  COM1, 9600"));
        ExpectIdleButtons();
        QVERIFY(Child<QPushButton>(dlg, 7)->isEnabled());
    }

    void measuringFillsTheDisplays()
    {
        for (const char* pin : {"input 0=2301", "input 1=0x1234", "input 2=1", "input 3=9999", "input 4=0",
                                "input 5=10000", "input 6=0", "input 7=501", "input 8=95", "input 9=0xFFFF"})
            QVERIFY(sim->Command(pin));
        const int before = LastRequest();
        Click(dlg, 1002);
        QCOMPARE(Child<QPushButton>(dlg, 1002)->text(), QStringLiteral("退出测量"));
        QVERIFY(Child<QPushButton>(dlg, 1002)->isEnabled());
        for (int id : {1003, 3, 4, 6, 2}) QVERIFY(!Child<QPushButton>(dlg, id)->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return Text(dlg->m_PowerFactor) == QStringLiteral("0.95"); }, 5000));
        QCOMPARE(Text(dlg->m_Voltage), QStringLiteral("230.1 V"));
        QCOMPARE(Text(dlg->m_Current), QStringLiteral("70.196 A"));
        QCOMPARE(Text(dlg->m_Power), QStringLiteral("999.9 W"));
        QCOMPARE(dlg->m_Power.Control()->FontColor(), 0x000000FFu);
        QCOMPARE(Text(dlg->m_Energy), QStringLiteral("10.00 kWh"));
        QCOMPARE(Text(dlg->m_Frequency), QStringLiteral("50.1 Hz"));
        QCOMPARE(dlg->m_Energy.Control()->accessibleName(), QStringLiteral("10.00 kWh"));
        ExpectCloseRefused();

        // The loop keeps polling with the measurement request.
        QVERIFY(QTest::qWaitFor([&] { return LastRequest() >= before + 3; }, 5000));
        QVERIFY(sim->Command("input 9=0xFFFE"));
        QVERIFY(sim->Command("input 3=10000"));
        QVERIFY(QTest::qWaitFor([&] { return Text(dlg->m_Power) == QStringLiteral("1000 W"); }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return dlg->m_Power.Control()->FontColor() == 0x00FFFF00u; }, 5000));
        QVERIFY(sim->LinesStarting("request ").last().endsWith("F8 04 00 00 00 0A 64 64"));

        Click(dlg, 1002);
        QVERIFY(Idle());
        ExpectIdleButtons();
        ExpectMessages({});
        // Closed again: "退出" ends the window.
        Click(dlg, 2);
        QVERIFY(!dlg->isVisible());
    }

    void clearEnergyKeepsTheDecimals()
    {
        QVERIFY(sim->Command("input 5=10000"));
        Click(dlg, 1002);
        QVERIFY(QTest::qWaitFor([&] { return Text(dlg->m_Energy) == QStringLiteral("10.00 kWh"); }, 5000));
        Click(dlg, 1002);
        QVERIFY(Idle());
        Click(dlg, 3);
        QVERIFY(Idle());
        ExpectMessages({"清除电量成功!"});
        QVERIFY(PortFree()); // the probe above can tell a free port
        QCOMPARE(Text(dlg->m_Energy), QStringLiteral("0.00 Wh"));
        QCOMPARE(sim->LinesStarting("clear-energy").size(), 1);
        ExpectIdleButtons();

        QVERIFY(sim->Command("fault exception=4"));
        Click(dlg, 3);
        QVERIFY(Idle());
        ExpectMessages({"清除电量成功!", "清除电量失败!"});
    }

    void parameterRoundTrip()
    {
        QVERIFY(sim->Command("param 1=2300"));
        QVERIFY(sim->Command("param 2=1"));
        int shown = 0;
        onEditor = [&](QWidget* w) {
            auto* p = qobject_cast<CDlgParameterSet*>(w);
            QVERIFY(p);
            ++shown;
            QCOMPARE(Child<QLineEdit>(p, 1006)->text(), QStringLiteral("220"));
            QCOMPARE(Child<QLineEdit>(p, 1007)->text(), QStringLiteral("5000"));
            QCOMPARE(Child<QLineEdit>(p, 1008)->text(), QStringLiteral("1100"));
            if (shown == 1) {
                QCOMPARE(Child<QLineEdit>(p, 1010)->text(), QStringLiteral("1"));
                QCOMPARE(Child<QLineEdit>(p, 1012)->text(), QStringLiteral("2300"));
                Child<QLineEdit>(p, 1010)->setText("5");
                Child<QLineEdit>(p, 1012)->setText("3000");
                Click(p, 1);
            } else {
                QCOMPARE(Child<QLineEdit>(p, 1010)->text(), QStringLiteral("5"));
                QCOMPARE(Child<QLineEdit>(p, 1012)->text(), QStringLiteral("3000"));
                Click(p, 2);
            }
        };
        Click(dlg, 4);
        QVERIFY(Idle());
        ExpectMessages({"写入参数成功!"});
        QCOMPARE(sim->LinesStarting("param ").filter("=").size(), 1);
        QCOMPARE(sim->LinesStarting("param ").last(), QStringLiteral("param 0=0001 1=0BB8 2=0005 3=0003"));

        // Cancelled: read but nothing written and no message.
        const int before = LastRequest();
        Click(dlg, 4);
        QVERIFY(Idle());
        QCOMPARE(shown, 2);
        QCOMPARE(LastRequest(), before + 1);
        QVERIFY(sim->LinesStarting("request ").last().contains("F8 03 00 00 00 07 10 61"));
        QCOMPARE(sim->LinesStarting("param ").size(), 1);
        ExpectMessages({"写入参数成功!"});
        ExpectIdleButtons();
    }

    void parameterFailures()
    {
        onEditor = [&](QWidget* w) { Click(w, 1); };
        QVERIFY(sim->Command("fault silent"));
        Click(dlg, 4);
        QVERIFY(Idle());
        ExpectMessages({"读取参数失败!"});

        QVERIFY(sim->Command("clear"));
        QVERIFY(sim->Command(QStringLiteral("fault exception=4@%1").arg(LastRequest() + 2)));
        Click(dlg, 4);
        QVERIFY(Idle());
        ExpectMessages({"读取参数失败!", "写入参数失败!"});
        ExpectIdleButtons();
    }

    void innerParametersThroughTheHiddenButton()
    {
        int shown = 0;
        onEditor = [&](QWidget* w) {
            auto* p = qobject_cast<CDlgParameterSetIn*>(w);
            QVERIFY(p);
            ++shown;
            QCOMPARE(p->Edit(1012)->text(), QStringLiteral("00014A21"));
            QCOMPARE(p->Edit(1015)->text(), QStringLiteral("0C35"));
            QCOMPARE(p->Edit(1019)->text(), QStringLiteral("123456789ABC"));
            QCOMPARE(p->Edit(1020)->text(), QStringLiteral("0005"));
            QCOMPARE(p->Edit(1021)->text(), QStringLiteral("0003"));
            if (shown == 1) {
                // A text the conversion refuses is refused in the dialog; cancelling writes nothing.
                p->Edit(1019)->setText("12345");
                Click(p, 1);
                QVERIFY(p->isVisible());
                Click(p, 2);
            } else {
                p->Edit(1022)->setText("12345678");
                Click(p, 1);
            }
        };
        QVERIFY(!Child<QPushButton>(dlg, 7)->isVisible());
        Click(dlg, 7);
        QVERIFY(Idle());
        QCOMPARE(shown, 1);
        QCOMPARE(driver->Texts().size(), 1); // only the dialog's own refusal
        QVERIFY(driver->messages[0].text.contains("12"));
        QCOMPARE(sim->LinesStarting("inner ").size(), 0);

        driver->messages.clear();
        Click(dlg, 7);
        QVERIFY(Idle());
        ExpectMessages({"写入参数成功!"});
        QCOMPARE(sim->LinesStarting("inner ").size(), 1);
        QCOMPARE(sim->LinesStarting("inner ").last(),
                 QStringLiteral("inner 13=1234 14=5678 15=9ABC 16=0005 17=0003 18=5678 19=1234 20=0000 21=0000"));
        ExpectIdleButtons();
    }

    void calibrationAfterTheRightPassword()
    {
        int prompts = 0;
        onEditor = [&](QWidget* w) {
            auto* p = qobject_cast<CDlgPassword*>(w);
            QVERIFY(p);
            ++prompts;
            p->m_EditPassword->setText("kvra572/8");
            Click(p, 1);
            p->m_EditPassword->setText("KVRA572/8");
            Click(p, 1);
        };
        QElapsedTimer t;
        t.start();
        Click(dlg, 6);
        QVERIFY(dlg->IsWorkerRunning());
        ExpectCloseRefused();
        QVERIFY(Idle());
        QVERIFY2(t.elapsed() >= 2900, "the meter gets its 3 s before the reply is read");
        QCOMPARE(prompts, 1);
        QCOMPARE(driver->Texts(), QStringList({"密码错误", "校准成功!"}));
        QCOMPARE(shownWithPortFree, QStringList({"密码错误"})); // asked before the worker opens the port
        QCOMPARE(sim->LinesStarting("calibrate").size(), 1);
        ExpectIdleButtons();
    }

    void silentMeterEndsMeasuringOnce()
    {
        QVERIFY(sim->Command("fault silent"));
        const int before = LastRequest();
        QElapsedTimer t;
        t.start();
        Click(dlg, 1002);
        ExpectCloseRefused();
        QVERIFY(QTest::qWaitFor([&] { return !driver->messages.empty(); }, 20000));
        const double seconds = (driver->messages[0].atMs - driver->clock.elapsed() + t.elapsed()) / 1000.0;
        QVERIFY2(seconds >= 8 && seconds <= 16, qPrintable(QString::number(seconds)));
        QVERIFY(Idle());
        ExpectMessages({"读取失败!"});
        QCOMPARE(LastRequest(), before + 3);
        ExpectIdleButtons();
        QCOMPARE(Text(dlg->m_Voltage), QStringLiteral("0.0 V"));
    }

    void failureCountResetsAndPollingKeepsItsPace()
    {
        // Reads b+2 (CRC), b+3 (exception) and b+5 (CRC) fail: never three in a row, so measuring goes on.
        const int b = LastRequest();
        QVERIFY(sim->Command(QStringLiteral("fault crc@%1").arg(b + 2)));
        QVERIFY(sim->Command(QStringLiteral("fault exception=4@%1").arg(b + 3)));
        QVERIFY(sim->Command(QStringLiteral("fault crc@%1").arg(b + 5)));
        std::map<int, qint64> seen; // request number -> when it reached the meter
        QElapsedTimer t;
        t.start();
        Click(dlg, 1002);
        QVERIFY(QTest::qWaitFor(
            [&] {
                const int r = LastRequest();
                if (r > b && !seen.count(r)) seen[r] = t.elapsed();
                return r >= b + 7;
            },
            25000));
        QCOMPARE(Child<QPushButton>(dlg, 1002)->text(), QStringLiteral("退出测量"));
        Click(dlg, 1002);
        QVERIFY(Idle());
        ExpectMessages({});
        ExpectIdleButtons();
        // 500 ms after a good read; 1000 ms reconnect wait plus 500 ms after a failed one.
        for (int r = b + 1; r < b + 7; ++r) {
            QVERIFY2(seen.count(r) && seen.count(r + 1), qPrintable(QString::number(r - b)));
            const qint64 gap = seen[r + 1] - seen[r];
            const bool failed = r == b + 2 || r == b + 3 || r == b + 5;
            const qint64 lo = failed ? 1350 : 400, hi = failed ? 3500 : 1400;
            QVERIFY2(gap >= lo && gap <= hi, qPrintable(QStringLiteral("after read %1: %2 ms").arg(r - b).arg(gap)));
        }
    }

    void stopWhileSilentWaitsForTheRead()
    {
        QVERIFY(sim->Command("fault silent"));
        const int before = LastRequest();
        Click(dlg, 1002);
        QVERIFY(QTest::qWaitFor([&] { return LastRequest() > before; }, 5000));
        QElapsedTimer t;
        t.start();
        Click(dlg, 1002);
        QVERIFY(dlg->IsWorkerRunning());
        QCOMPARE(Child<QPushButton>(dlg, 1002)->text(), QStringLiteral("退出测量"));
        Click(dlg, 1002); // a second click while the loop finishes starts nothing new
        QVERIFY(Idle());
        QVERIFY2(t.elapsed() >= 1000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(t.elapsed() <= 8000);
        ExpectMessages({});
        ExpectIdleButtons();
        QCOMPARE(LastRequest(), before + 1);
    }

    void windowGoingStopsItsWorker()
    {
        QVERIFY(sim->Command("fault silent"));
        const int before = LastRequest();
        Click(dlg, 1002);
        QVERIFY(QTest::qWaitFor([&] { return LastRequest() > before; }, 5000));
        QElapsedTimer t;
        t.start();
        delete dlg; // stops the loop and waits for the pending read, showing nothing more
        dlg = nullptr;
        QVERIFY(t.elapsed() < 8000);
        ExpectMessages({});
        QCOMPARE(LastRequest(), before + 1);
    }

    // The status line names why the last read failed and counts the reads since 开始测量 as the meter saw them.
    void statusLineNamesWhyTheLastReadFailed_data()
    {
        QTest::addColumn<int>("round");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        const struct {
            const char* name;
            Round round;
            const char* fault; // for the simulator
            const char* reason;
        } rows[] = {
            {"silent", FaultOnThirdRead, "silent", "无应答"},
            {"short", FaultOnThirdRead, "short=3", "应答过短"},
            {"crc", FaultOnThirdRead, "crc", "CRC错误"},
            {"exception 02", FaultOnThirdRead, "exception=2", "异常 02 非法数据地址"},
            {"exception 0B", FaultOnThirdRead, "exception=11", "异常 0B 网关目标设备响应失败"},
            {"byte count", FaultOnThirdRead, "count=40", "字节数不符"},
            {"port cannot open", PortCannotOpen, "", ""},
            {"unplugged before reopen", UnpluggedBeforeReopen, "silent", ""},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << int(r.round) << QString::fromUtf8(r.fault) << QString::fromUtf8(r.reason);
    }
    void statusLineNamesWhyTheLastReadFailed()
    {
        QFETCH(int, round);
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        auto* line = Child<QLabel>(dlg, COrmetMasterDlg::IDC_STATUS);
        QCOMPARE(line->text(), QString()); // nothing before the first 开始测量
        const int b = LastRequest();
        if (round == PortCannotOpen) {
            comChoice = 1;
            Click(dlg, 1003);
            Click(dlg, 1002);
            QVERIFY(Idle());
            ExpectMessages({"打开串口失败!"});
            const QString why = OpenFailure(2);
            QVERIFY(why.startsWith(QStringLiteral("端口无法打开：COM2 是端口映射中的名称")));
            QCOMPARE(Status(), QStringLiteral("读取成功 0 次，失败 0 次；上次失败：") + why);
            QVERIFY(line->text().endsWith(QChar(0x2026))); // too long for the window: cut, the tooltip whole
            QCOMPARE(LastRequest(), b);
        } else if (round == UnpluggedBeforeReopen) {
            // The meter falls silent after one good read; COM1 is gone before the loop reopens it.
            QVERIFY(sim->Command(QStringLiteral("fault %1@%2-").arg(fault).arg(b + 2)));
            Click(dlg, 1002);
            QVERIFY(QTest::qWaitFor([&] { return Status().contains(QStringLiteral("失败 1 次")); }, 10000));
            const QString com1 = sim->Dir() + QStringLiteral("/COM1");
            QVERIFY(QFile::remove(com1));
            QVERIFY(QFile::link(QStringLiteral("/nonexistent/ttyUSB8"), com1));
            QVERIFY(Idle(20000));
            const QString why = OpenFailure(1);
            QVERIFY(QFile::remove(com1));
            QVERIFY(QFile::link(sim->Path(), com1));
            ExpectMessages({"读取失败!"});
            QVERIFY(why.startsWith(QStringLiteral("端口无法打开：COM1 是端口映射中的名称")));
            QCOMPARE(Status(), QStringLiteral("读取成功 1 次，失败 3 次；上次失败：") + why);
            QCOMPARE(LastRequest(), b + 2); // the two reads after it never reached the meter
        } else {
            QVERIFY(sim->Command(QStringLiteral("fault %1@%2").arg(fault).arg(b + 3)));
            Click(dlg, 1002);
            QVERIFY(QTest::qWaitFor([&] { return Status().startsWith(QStringLiteral("读取成功 3 次，失败 1 次")); },
                                    15000));
            Click(dlg, 1002);
            QVERIFY(Idle());
            ExpectMessages({});
            const int good = LastRequest() - b - 1;
            QVERIFY(good >= 3);
            const QString expected = QStringLiteral("读取成功 %1 次，失败 1 次；上次失败：%2").arg(good).arg(reason);
            QCOMPARE(Status(), expected);
            QCOMPARE(line->text(), expected);
        }
    }

    void portThatCannotOpen()
    {
        comChoice = 1;
        Click(dlg, 1003);
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Ormet上位机 - Tavisto  COM2, 9600"));
        const int before = LastRequest();
        Click(dlg, 3);
        QVERIFY(Idle());
        Click(dlg, 1002);
        QVERIFY(Idle());
        Click(dlg, 4);
        QVERIFY(Idle());
        ExpectMessages({"打开串口失败!", "打开串口失败!", "打开串口失败!"});
        ExpectIdleButtons();
        QCOMPARE(LastRequest(), before);
    }
};

QTEST_MAIN(TestMeterEndToEnd)
#include "test_meter_gui_e2e.moc"
