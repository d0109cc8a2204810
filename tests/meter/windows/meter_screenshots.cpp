// meter-screenshots: writes PNG pictures of Ormet-Master's main window while measuring and with a failed read
// named on its status line, of each dialog, of the open-failure box with its explanation and of 通信设置 with a
// port's tooltip showing.
// Usage: meter-screenshots OUTPUT-FOLDER   (runs the meter simulator on a pseudo-terminal as COM1)
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>

#include <cstdio>

#include "item_tooltip_shot.h"
#include "comsetdlg.h"
#include "dlgparameterset.h"
#include "dlgparametersetin.h"
#include "dlgpassword.h"
#include "meter_gui_driver.h"
#include "ormetmasterdlg.h"

namespace {
bool Save(QWidget* w, const QDir& dir, const QString& name)
{
    const QString path = dir.filePath(name + QStringLiteral(".png"));
    const bool ok = w->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

bool SaveImage(const QImage& image, const QDir& dir, const QString& name)
{
    const QString path = dir.filePath(name + QStringLiteral(".png"));
    const bool ok = !image.isNull() && image.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}
} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: meter-screenshots OUTPUT-FOLDER\n");
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "meter-screenshots: cannot create %s\n", argv[1]);
        return 1;
    }
    MeterSim sim;
    if (!sim.Start({"--input", "5=12345", "--input", "6=0"})) {
        std::fprintf(stderr, "meter-screenshots: the meter simulator did not start\n");
        return 1;
    }

    int failures = 0;
    COrmetMasterDlg dlg;
    dlg.show();
    ModalDriver driver;
    driver.onDialog = [&](QWidget* w) {
        QString name = QString::fromLatin1(w->metaObject()->className());
        if (!Save(w, dir, name)) ++failures;
        const bool accept = qobject_cast<CComSetDlg*>(w) != nullptr;
        if (auto* b = w->findChild<QPushButton*>(accept ? QStringLiteral("1") : QStringLiteral("2"))) b->click();
    };
    auto button = [&](int id) { return dlg.findChild<QPushButton*>(QString::number(id)); };
    auto idle = [&] { return QTest::qWaitFor([&] { return !dlg.IsWorkerRunning(); }, 20000); };

    static_cast<void>(QTest::qWaitFor([&] { return dlg.isVisible(); }, 2000));
    if (!Save(&dlg, dir, QStringLiteral("COrmetMasterDlg_start"))) ++failures;
    button(COrmetMasterDlg::IDC_BUTTON_COMSET)->click();

    button(COrmetMasterDlg::IDC_BUTTON_MEASURE)->click();
    CAnalogDisplay* voltage = dlg.m_Voltage.Control();
    // Wait for two rounds so the energy has moved too.
    int updates = 0;
    QString last = voltage->Text();
    static_cast<void>(QTest::qWaitFor(
        [&] {
            if (voltage->Text() != last) {
                last = voltage->Text();
                ++updates;
            }
            return updates >= 2;
        },
        10000));
    if (updates < 1 || !Save(&dlg, dir, QStringLiteral("COrmetMasterDlg_measuring"))) ++failures;
    button(COrmetMasterDlg::IDC_BUTTON_MEASURE)->click();
    idle();

    button(COrmetMasterDlg::IDC_BUTTON_PARAMETER)->click();
    idle();
    button(COrmetMasterDlg::IDC_BUTTON_INNER_PARAMETER)->click();
    idle();
    button(COrmetMasterDlg::IDC_BUTTON_CALIBRATE)->click();
    idle();
    // The power alarm turns the power reading red.
    sim.Command(QStringLiteral("input 9=65535"));
    button(COrmetMasterDlg::IDC_BUTTON_MEASURE)->click();
    static_cast<void>(QTest::qWaitFor([&] { return dlg.m_Power.Control()->FontColor() == 0x000000FFu; }, 10000));
    if (!Save(&dlg, dir, QStringLiteral("COrmetMasterDlg_alarm"))) ++failures;
    // The status line names why a read failed: the meter refuses the next ones.
    sim.Command(QStringLiteral("fault exception=2"));
    auto* status = dlg.findChild<QLabel*>(QString::number(COrmetMasterDlg::IDC_STATUS));
    if (!QTest::qWaitFor([&] { return status->text().contains(QStringLiteral("异常")); }, 10000) ||
        !Save(&dlg, dir, QStringLiteral("COrmetMasterDlg_read_failure")))
        ++failures;
    button(COrmetMasterDlg::IDC_BUTTON_MEASURE)->click();
    idle();
    sim.Command(QStringLiteral("clear"));

    // The open-failure box: COM2 of the port map names an adapter that is not plugged in.
    QFile::link(QStringLiteral("/nonexistent/ttyUSB9"), sim.Dir() + QStringLiteral("/COM2"));
    bool boxSaved = false;
    driver.onMessage = [&](const SeenMessage& m) {
        if (m.text != QStringLiteral("打开串口失败!")) return;
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            boxSaved =
                !box->informativeText().isEmpty() && Save(box, dir, QStringLiteral("COrmetMasterDlg_open_failure"));
    };
    dlg.ApplyComSet(2, 9600);
    button(COrmetMasterDlg::IDC_BUTTON_CLEAR_ENERGY)->click();
    idle();
    if (!boxSaved) ++failures;
    // The same port for 开始测量: the status line gives the start of the reason, its tooltip all of it.
    driver.onMessage = nullptr;
    button(COrmetMasterDlg::IDC_BUTTON_MEASURE)->click();
    idle();
    if (!Save(&dlg, dir, QStringLiteral("COrmetMasterDlg_open_failure_status"))) ++failures;

    // 通信设置 with the list open: COM1 tells the device it maps to, COM2 that it is not mapped.
    {
        CComSetDlg com(&dlg);
        com.show();
        static_cast<void>(QTest::qWaitFor([&] { return com.isVisible(); }, 2000));
        if (!SaveImage(shots::ShotWithItemToolTip(&com, com.m_ComboPort, 0), dir,
                       QStringLiteral("CComSetDlg_tooltip_mapped")))
            ++failures;
        if (!SaveImage(shots::ShotWithItemToolTip(&com, com.m_ComboPort, 1), dir,
                       QStringLiteral("CComSetDlg_tooltip_not_mapped")))
            ++failures;
        com.reject();
    }

    for (const char* name : {"CComSetDlg", "CDlgParameterSet", "CDlgParameterSetIn", "CDlgPassword"})
        if (!QFileInfo::exists(dir.filePath(QString::fromLatin1(name) + ".png"))) {
            std::fprintf(stderr, "meter-screenshots: no picture of %s\n", name);
            ++failures;
        }
    return failures ? 1 : 0;
}
