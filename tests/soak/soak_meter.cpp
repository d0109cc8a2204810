// Soak of Ormet-Master's main window: measuring against the meter simulator with faults injected in turn.
#include "comsetdlg.h"
#include "meter_gui_driver.h"
#include "ormetmasterdlg.h"
#include "soak_probe.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>

#include <memory>

namespace {

const bool LongRun = soak::AllowLongRun();

const QString Failed = QStringLiteral("读取失败!");
const QString Start = QStringLiteral("开始测量");
const QString Stop = QStringLiteral("退出测量");

// Consecutive failing reads: fewer than the window's three are ridden out silently, three end
// measuring with one "读取失败!".
struct TEpisode {
    const char* Name;
    QStringList Faults; // one simulator fault for each request in a row
};
const TEpisode Episodes[] = {
    {"crc", {"crc"}},
    {"silent-x3", {"silent", "silent", "silent"}},
    {"short", {"short=3"}},
    {"exception+silent", {"exception=4", "silent"}},
    {"crc+short+exception", {"crc", "short=4", "exception=2"}},
    {"byte-count", {"count=40"}},
    {"late-reply", {"delay=2000"}}, // answers after the read gave up, while the port is closed
};

template <class T>
T* Child(QWidget* parent, int id)
{
    return parent->findChild<T*>(QString::number(id));
}

} // namespace

class SoakMeter : public QObject {
    Q_OBJECT

    std::unique_ptr<MeterSim> Sim;
    std::unique_ptr<COrmetMasterDlg> Dlg;
    std::unique_ptr<ModalDriver> Driver;

    QPushButton* Measure() { return Child<QPushButton>(Dlg.get(), COrmetMasterDlg::IDC_BUTTON_MEASURE); }

    // Number of the latest simulator line "<prefix> <n> ...", 0 before the first.
    int LastNumber(const QString& prefix)
    {
        const QStringList& lines = Sim->Lines();
        for (qsizetype i = lines.size() - 1; i >= 0; --i)
            if (lines[i].startsWith(prefix)) return lines[i].section(' ', 1, 1).toInt();
        return 0;
    }
    int LastRequest() { return LastNumber(QStringLiteral("request ")); }
    int LastReply() { return LastNumber(QStringLiteral("reply ")); }

    // What the simulator's report lines collected by the test take: not the window's memory.
    long long SimLogBytes()
    {
        long long bytes = 0;
        for (const QString& l : Sim->Lines()) bytes += 2 * l.capacity() + 64;
        return bytes;
    }

    // Pins the voltage to a new value and waits until the display shows it: a good read went through.
    bool ShowsFreshReading(int& pin)
    {
        pin = 2000 + (pin - 1999) % 500;
        if (!Sim->Command(QStringLiteral("input 0=%1").arg(pin))) return false;
        const QString want = QStringLiteral("%1.%2 V").arg(pin / 10).arg(pin % 10);
        return QTest::qWaitFor([&] { return Dlg->m_Voltage.Control()->Text() == want; }, 15000);
    }

private slots:
    void initTestCase()
    {
        Sim = std::make_unique<MeterSim>(1);
        QVERIFY2(Sim->Start(), "the meter simulator did not start");
        Dlg = std::make_unique<COrmetMasterDlg>();
        Dlg->show();
        Driver = std::make_unique<ModalDriver>();
        Driver->onDialog = [](QWidget* w) {
            if (auto* com = qobject_cast<CComSetDlg*>(w)) {
                Child<QComboBox>(com, 1004)->setCurrentIndex(0);
                Child<QPushButton>(com, 1)->click();
            }
        };
        Child<QPushButton>(Dlg.get(), COrmetMasterDlg::IDC_BUTTON_COMSET)->click();
        QCOMPARE(Dlg->windowTitle(), QStringLiteral("Ormet上位机 - Tavisto  COM1, 9600"));
    }

    void cleanupTestCase()
    {
        if (Dlg && Dlg->IsWorkerRunning()) {
            if (Measure()->text() == Stop) Measure()->click();
            static_cast<void>(QTest::qWaitFor([&] { return !Dlg->IsWorkerRunning(); }, 20000));
        }
        Dlg.reset();
        Driver.reset();
        Sim.reset();
    }

    void measuringWithFaults()
    {
        const int seconds = soak::Seconds();
        const int warmUp = soak::WarmUpSeconds(seconds);
        soak::LatenessProbe probe;
        QElapsedTimer run;
        run.start();
        QStringList problems;
        auto problem = [&](const QString& p) {
            if (problems.size() < 10) problems << p;
        };

        int pin = 1999;
        const int firstRequest = LastRequest();
        Measure()->click();
        QCOMPARE(Measure()->text(), Stop);
        QVERIFY2(ShowsFreshReading(pin), "no reading at the start");
        probe.Start();
        // The start sample comes after the warm-up and after a first message box, whose first showing
        // builds what every later box reuses.
        long long rssStart = -1, simLogStart = 0, rssHalf = -1;

        int episodes = 0, faultyRequests = 0, expectedBoxes = 0, resumed = 0;
        QStringList kinds;
        for (; run.elapsed() < seconds * 1000LL; ++episodes) {
            const TEpisode& ep = Episodes[episodes % std::size(Episodes)];
            const int n = LastRequest() + 2; // the one after the request that may be on the line now
            for (int i = 0; i < ep.Faults.size(); ++i)
                if (!Sim->Command(QStringLiteral("fault %1@%2").arg(ep.Faults[i]).arg(n + i)))
                    problem(QStringLiteral("%1: the simulator refused %2").arg(ep.Name, ep.Faults[i]));
            faultyRequests += static_cast<int>(ep.Faults.size());
            const bool box = ep.Faults.size() >= COrmetMasterDlg::FailuresToStop;
            if (box) ++expectedBoxes;
            if (!QTest::qWaitFor([&] { return LastReply() >= n + ep.Faults.size() - 1; }, 60000)) {
                problem(QStringLiteral("%1: the faulty requests never came").arg(ep.Name));
                break;
            }
            if (box) {
                if (!QTest::qWaitFor([&] { return !Dlg->IsWorkerRunning(); }, 20000)) {
                    problem(QStringLiteral("%1: measuring went on after three failures").arg(ep.Name));
                    break;
                }
                if (Measure()->text() != Start)
                    problem(QStringLiteral("%1: button says %2").arg(ep.Name, Measure()->text()));
                Measure()->click(); // the user starts again
            } else if (!Dlg->IsWorkerRunning() || Measure()->text() != Stop) {
                problem(QStringLiteral("%1: measuring stopped").arg(ep.Name));
                Measure()->click();
            }
            if (ShowsFreshReading(pin)) ++resumed;
            else problem(QStringLiteral("%1: no fresh reading afterwards").arg(ep.Name));
            if (static_cast<int>(Driver->messages.size()) != expectedBoxes)
                problem(QStringLiteral("%1: %2 message boxes after %3 due")
                            .arg(ep.Name)
                            .arg(Driver->messages.size())
                            .arg(expectedBoxes));
            if (rssStart < 0 && expectedBoxes > 0 && run.elapsed() >= warmUp * 1000LL) {
                rssStart = soak::ResidentBytes();
                simLogStart = SimLogBytes();
            } else if (rssStart >= 0 && rssHalf < 0 && run.elapsed() >= seconds * 500LL) {
                rssHalf = soak::ResidentBytes();
            }
            // A few good reads before the next fault.
            const int r = LastRequest();
            static_cast<void>(QTest::qWaitFor([&] { return LastRequest() >= r + 3; }, 10000));
        }
        const int requests = LastRequest() - firstRequest;
        probe.Stop();
        Measure()->click();
        QVERIFY(QTest::qWaitFor([&] { return !Dlg->IsWorkerRunning(); }, 20000));

        const long long rssEnd = soak::ResidentBytes();
        const long long simLog = SimLogBytes() - simLogStart;
        const long long growth = rssEnd - rssStart - simLog;
        const int shown = static_cast<int>(Driver->messages.size());
        const int failedTexts = Driver->Count(Failed);
        const bool pass = rssStart >= 0 && problems.isEmpty() && shown == expectedBoxes && failedTexts == shown &&
                          resumed == episodes && episodes > 0 && probe.WindowMaxMs() <= soak::MaxLatenessMs &&
                          growth < soak::MaxGrowthBytes;
        soak::Report(
            "meter",
            QStringLiteral("seconds=%1 requests=%2 good_replies=%3 episodes=%4 faulty_requests=%5 "
                           "boxes_due=%6 boxes_shown=%7 resumed=%8 "
                           "rss_start_mb=%9 rss_half_mb=%10 rss_end_mb=%11 sim_log_mb=%12 growth_mb=%13 result=%14")
                .arg(seconds)
                .arg(requests)
                .arg(requests - faultyRequests)
                .arg(episodes)
                .arg(faultyRequests)
                .arg(expectedBoxes)
                .arg(shown)
                .arg(resumed)
                .arg(soak::Mb(rssStart), soak::Mb(rssHalf), soak::Mb(rssEnd), soak::Mb(simLog), soak::Mb(growth))
                .arg(pass ? "pass" : "fail"));
        soak::ReportLateness("meter", probe);
        for (const QString& p : problems) soak::Report("meter", "problem " + p);

        QVERIFY2(rssStart >= 0, "the run ended before its warm-up");
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(" | ")));
        QVERIFY(episodes > 0);
        QCOMPARE(shown, expectedBoxes);
        QCOMPARE(failedTexts, shown);
        QCOMPARE(resumed, episodes);
        QVERIFY2(probe.WindowMaxMs() <= soak::MaxLatenessMs, qPrintable(QString::number(probe.WindowMaxMs())));
        QVERIFY2(growth < soak::MaxGrowthBytes, qPrintable(soak::Mb(growth) + " MB"));
    }
};

QTEST_MAIN(SoakMeter)
#include "soak_meter.moc"
