// COrmetMasterDlg: the main window with the six displays, the operation buttons and their workers.
#include "ormetmasterdlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include <chrono>

#include "comm32_reason.h"

#include "comsetdlg.h"
#include "dlgparameterset.h"
#include "dlgparametersetin.h"
#include "dlgpassword.h"
#include "failure_reason.h"
#include "message_box.h"

namespace {
void Wait(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A whole measurement reply: address, function code, byte count, the data, the CRC.
constexpr std::uint32_t MeasurementReplyBytes = std::tuple_size_v<MeasurementData> + 5;

// The program's icon: a grey meter face with an aqua reading.
QIcon ProgramIcon()
{
    QPixmap pixmap(128, 128);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x69, 0x69, 0x69));
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 4));
    p.drawRoundedRect(QRectF(4, 4, 120, 120), 16, 16);
    p.setPen(QColor(0x00, 0xFF, 0xFF));
    QFont f = DialogFont(QStringLiteral("Times New Roman"), 12);
    f.setPixelSize(44);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRectF(8, 20, 112, 60), Qt::AlignCenter, QStringLiteral("kWh"));
    p.setPen(QPen(QColor(0x00, 0xFF, 0xFF), 6));
    p.drawLine(24, 96, 104, 96);
    return QIcon(pixmap);
}
} // namespace

COrmetMasterDlg::COrmetMasterDlg(QWidget* parent)
    : CTemplateDialog(parent, QStringLiteral("Ormet上位机 - Tavisto"), 312, 178,
                      DialogFont(QStringLiteral("Times New Roman"), 12))
{
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    setWindowIcon(ProgramIcon());

    PlaceControl<QGroupBox>(this, Units(), 1026, 7, 3, 224, 160)->setTitle(QStringLiteral("显示区域"));
    AddDisplay(m_Voltage, IDC_DISPLAY_VOLTAGE, 13, 15, 100, 32, "V", -1);
    AddLabel(1028, QStringLiteral("电压"), 54, 48, 57, 8);
    AddDisplay(m_Current, IDC_DISPLAY_CURRENT, 121, 15, 104, 32, "A", 3);
    AddLabel(1029, QStringLiteral("电流"), 162, 47, 60, 8);
    AddDisplay(m_Power, IDC_DISPLAY_POWER, 13, 66, 100, 32, "W", -1);
    AddLabel(1030, QStringLiteral("功率"), 53, 99, 56, 8);
    AddDisplay(m_Energy, IDC_DISPLAY_ENERGY, 121, 66, 104, 32, "Wh", 0);
    AddLabel(1031, QStringLiteral("电量"), 162, 99, 59, 8);
    AddDisplay(m_Frequency, IDC_DISPLAY_FREQUENCY, 13, 116, 100, 32, "Hz", -1);
    AddLabel(1032, QStringLiteral("频率"), 54, 149, 56, 8);
    AddDisplay(m_PowerFactor, IDC_DISPLAY_POWER_FACTOR, 121, 116, 104, 32, "", 2);
    AddLabel(1033, QStringLiteral("功率因数"), 156, 148, 68, 8);
    AddLabel(IDC_STATUS, QString(), 9, 166, 296, 9);

    PlaceControl<QGroupBox>(this, Units(), 1027, 237, 3, 68, 160)->setTitle(QStringLiteral("操作区域"));
    connect(AddButton(IDC_BUTTON_COMSET, QStringLiteral("通信设置"), 246, 14, 50, 14), &QPushButton::clicked, this,
            &COrmetMasterDlg::OnComSet);
    connect(AddButton(IDC_BUTTON_MEASURE, QStringLiteral("开始测量"), 246, 35, 50, 14), &QPushButton::clicked, this,
            &COrmetMasterDlg::OnMeasure);
    connect(AddButton(IDC_BUTTON_CLEAR_ENERGY, QStringLiteral("清零电量"), 246, 56, 50, 14), &QPushButton::clicked,
            this, &COrmetMasterDlg::OnClearEnergy);
    connect(AddButton(IDC_BUTTON_PARAMETER, QStringLiteral("参数设置"), 246, 77, 50, 14), &QPushButton::clicked, this,
            &COrmetMasterDlg::OnParameterSet);
    connect(AddButton(IDC_BUTTON_CALIBRATE, QStringLiteral("校准"), 246, 99, 50, 14), &QPushButton::clicked, this,
            &COrmetMasterDlg::OnCalibrate);
    connect(AddButton(IDC_BUTTON_INNER_PARAMETER, QStringLiteral("系数设置"), 246, 121, 50, 14), &QPushButton::clicked,
            this, &COrmetMasterDlg::OnInnerParameterSet);
    AddButton(IDC_BUTTON_EXIT, QStringLiteral("退出"), 246, 142, 50, 14);

    for (int id : {IDC_BUTTON_MEASURE, IDC_BUTTON_CLEAR_ENERGY, IDC_BUTTON_PARAMETER, IDC_BUTTON_CALIBRATE,
                   IDC_BUTTON_INNER_PARAMETER})
        Button(id)->setEnabled(false);
    Button(IDC_BUTTON_INNER_PARAMETER)->hide();
}

COrmetMasterDlg::~COrmetMasterDlg()
{
    // Normally no worker runs here (closing is refused meanwhile); if one does, stop it and let it
    // finish against a living window.
    m_closing = true;
    m_bRunning = 0;
    JoinWorker();
}

CAnalogDisplay* COrmetMasterDlg::AddDisplay(CIanalogdisplayx& wrapper, int id, int x, int y, int w, int h,
                                            const char* units, int precision)
{
    auto* display = PlaceControl<CAnalogDisplay>(this, Units(), id, x, y, w, h);
    display->SetUnitsText(QString::fromUtf8(units));
    if (precision >= 0) display->SetPrecision(precision);
    wrapper.Attach(display);
    return display;
}

QPushButton* COrmetMasterDlg::Button(int id) const
{
    return findChild<QPushButton*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void COrmetMasterDlg::OnInitDialog()
{
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
    m_nPort = 1;
    m_nBaud = 9600;
    m_bRunning = 0;
}

void COrmetMasterDlg::reject()
{
    // The workers use this window's members and its link: it stays until they are done.
    if (m_workerBusy) return;
    QDialog::reject();
}

void COrmetMasterDlg::closeEvent(QCloseEvent* event)
{
    if (m_workerBusy) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void COrmetMasterDlg::SetButtonsEnabled(bool enabled)
{
    for (int id : {IDC_BUTTON_COMSET, IDC_BUTTON_MEASURE, IDC_BUTTON_CLEAR_ENERGY, IDC_BUTTON_PARAMETER,
                   IDC_BUTTON_CALIBRATE, IDC_BUTTON_EXIT})
        Button(id)->setEnabled(enabled);
}

void COrmetMasterDlg::RunOnUi(const std::function<void()>& f)
{
    if (QThread::currentThread() == thread()) f();
    else QMetaObject::invokeMethod(this, f, Qt::BlockingQueuedConnection);
}

void COrmetMasterDlg::Message(const char* text)
{
    RunOnUi([this, text] {
        if (!m_closing)
            KestroComm32::ShowMessageBox(this, QString::fromUtf8(text), QString::fromUtf8(AppName),
                                         QMessageBox::NoIcon);
    });
}

void COrmetMasterDlg::OpenFailedMessage()
{
    const QString why = QString::fromStdString(KestroComm32::ExplainOpenFailure(m_ModBus.Serial().LastReason(), 2052));
    RunOnUi([this, &why] {
        if (!m_closing)
            KestroComm32::ShowMessageBox(this, QStringLiteral("打开串口失败!"), QString::fromUtf8(AppName),
                                         QMessageBox::NoIcon, why);
    });
}

void COrmetMasterDlg::ShowMeasureStatus(int good, int failed, const std::string& lastFailure)
{
    QString full = QStringLiteral("读取成功 %1 次，失败 %2 次").arg(good).arg(failed);
    if (!lastFailure.empty()) full += QStringLiteral("；上次失败：") + QString::fromStdString(lastFailure);
    RunOnUi([this, &full] {
        // The port's explanation can be longer than the window is wide: the line ends in "…" and
        // its tooltip holds all of it.
        auto* line = findChild<QLabel*>(QString::number(IDC_STATUS), Qt::FindDirectChildrenOnly);
        line->setText(line->fontMetrics().elidedText(full, Qt::ElideRight, line->width()));
        line->setToolTip(full);
    });
}

void COrmetMasterDlg::StartWorker(std::function<void()> body, std::function<void()> done)
{
    JoinWorker();
    m_workerBusy = true;
    m_workerFinished = false;
    m_worker = std::thread([this, body = std::move(body), done = std::move(done)] {
        try {
            body();
        } catch (...) {
            // Nothing may leave the thread; the buttons are handed back below all the same.
        }
        RunOnUi([this, &done] {
            done();
            m_workerBusy = false;
        });
        m_workerFinished = true;
    });
}

void COrmetMasterDlg::JoinWorker()
{
    if (!m_worker.joinable()) return;
    // A worker may still wait for this thread to show a message or dialog: keep serving it.
    while (!m_workerFinished) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!m_workerFinished) Wait(5);
    }
    m_worker.join();
}

void COrmetMasterDlg::OnComSet()
{
    if (m_workerBusy) return;
    CComSetDlg dlg(this);
    dlg.m_nPort = m_nPort;
    dlg.m_nBaud = m_nBaud;
    if (dlg.exec() != QDialog::Accepted) return;
    ApplyComSet(dlg.m_nPort, dlg.m_nBaud);
}

void COrmetMasterDlg::ApplyComSet(std::uint8_t port, std::uint16_t baud)
{
    if (m_workerBusy) return;
    m_nPort = port;
    m_nBaud = baud;
    setWindowTitle(QStringLiteral("Ormet上位机 - Tavisto  COM%1, %2").arg(m_nPort).arg(m_nBaud));
    for (int id : {IDC_BUTTON_MEASURE, IDC_BUTTON_CLEAR_ENERGY, IDC_BUTTON_PARAMETER, IDC_BUTTON_CALIBRATE,
                   IDC_BUTTON_INNER_PARAMETER})
        Button(id)->setEnabled(true);
}

void COrmetMasterDlg::OnMeasure()
{
    if (m_bRunning) {
        m_bRunning = 0; // the loop stops at its next check
        return;
    }
    if (m_workerBusy) return; // a stopped loop is still finishing its round
    m_bRunning = 1;
    SetButtonsEnabled(false);
    QPushButton* button = Button(IDC_BUTTON_MEASURE);
    button->setText(QStringLiteral("退出测量"));
    button->setEnabled(true);
    const std::uint8_t port = m_nPort;
    const std::uint16_t baud = m_nBaud;
    StartWorker([this, port, baud] { MeasureLoop(port, baud); },
                [this] {
                    SetButtonsEnabled(true);
                    m_bRunning = 0;
                    Button(IDC_BUTTON_MEASURE)->setText(QStringLiteral("开始测量"));
                });
}

void COrmetMasterDlg::StartSequence(Sequence sequence)
{
    SetButtonsEnabled(false);
    const std::uint8_t port = m_nPort;
    const std::uint16_t baud = m_nBaud;
    StartWorker([this, sequence, port, baud] { (this->*sequence)(port, baud); }, [this] { SetButtonsEnabled(true); });
}

void COrmetMasterDlg::OnClearEnergy()
{
    if (m_workerBusy) return;
    StartSequence(&COrmetMasterDlg::ClearEnergySequence);
}

void COrmetMasterDlg::OnParameterSet()
{
    if (m_workerBusy) return;
    StartSequence(&COrmetMasterDlg::ParameterSequence);
}

void COrmetMasterDlg::OnCalibrate()
{
    if (m_workerBusy) return;
    CDlgPassword dlg(this);
    if (dlg.exec() != QDialog::Accepted) return;
    StartSequence(&COrmetMasterDlg::CalibrateSequence);
}

void COrmetMasterDlg::OnInnerParameterSet()
{
    if (m_workerBusy) return; // the hidden button is never disabled, so guard here
    StartSequence(&COrmetMasterDlg::InnerParameterSequence);
}

void COrmetMasterDlg::UpdateDisplays(const MeasurementData& data)
{
    const MeterReading r = DecodeMeasurement(data);
    RunOnUi([this, &r] {
        m_Voltage.SetValue(r.Voltage);
        m_Current.SetValue(r.Current);
        m_Power.SetPrecision(r.PowerPrecision);
        m_Power.SetValue(r.Power);
        m_Power.SetFontColor(r.PowerColor);
        m_Energy.SetPrecision(r.EnergyPrecision);
        m_Energy.SetUnitsText(QString::fromStdString(r.EnergyUnits));
        m_Energy.SetValue(r.Energy);
        m_Frequency.SetValue(r.Frequency);
        m_PowerFactor.SetValue(r.PowerFactor);
    });
}

std::string COrmetMasterDlg::ReadFailure(int result, std::uint64_t receivedBefore)
{
    CSerial& link = m_ModBus.Serial();
    // A reopen that failed shows here: the link is closed and keeps why.
    if (!link.IsOpen()) return OpenFailureText(link.LastReason());
    return ExchangeFailureText(result, static_cast<std::uint32_t>(link.ReceivedCount() - receivedBefore),
                               MeasurementReplyBytes);
}

void COrmetMasterDlg::MeasureLoop(std::uint8_t port, std::uint16_t baud)
{
    int good = 0, failed = 0;
    std::string lastFailure;
    ShowMeasureStatus(good, failed, lastFailure);
    if (!m_ModBus.OpenPort(port, baud)) {
        ShowMeasureStatus(good, failed, OpenFailureText(m_ModBus.Serial().LastReason()));
        OpenFailedMessage();
    } else {
        std::uint8_t failures = 0;
        while (m_bRunning) {
            MeasurementData data{};
            const std::uint64_t before = m_ModBus.Serial().ReceivedCount();
            const int rc = m_ModBus.ReadMeasurement(data);
            if (rc == CModBusRtu::ResultOk) {
                failures = 0;
                UpdateDisplays(data);
                ShowMeasureStatus(++good, failed, lastFailure);
            } else {
                lastFailure = ReadFailure(rc, before);
                ShowMeasureStatus(good, ++failed, lastFailure);
                if (++failures >= FailuresToStop) {
                    Message("读取失败!");
                    break;
                }
                m_ModBus.Close();
                Wait(ReconnectWaitMs);
                m_ModBus.OpenPort(port, baud); // a failed reopen shows as the next failed read
            }
            Wait(PollWaitMs);
        }
    }
    m_ModBus.Close();
}

void COrmetMasterDlg::ClearEnergySequence(std::uint8_t port, std::uint16_t baud)
{
    if (!m_ModBus.OpenPort(port, baud)) {
        OpenFailedMessage();
    } else if (m_ModBus.ClearEnergy() != CModBusRtu::ResultOk) {
        Message("清除电量失败!");
    } else {
        Message("清除电量成功!");
        m_Energy.SetUnitsText(QStringLiteral("Wh"));
        m_Energy.SetValue(0);
    }
    m_ModBus.Close();
}

void COrmetMasterDlg::ParameterSequence(std::uint8_t port, std::uint16_t baud)
{
    ParameterData data{};
    if (!m_ModBus.OpenPort(port, baud)) {
        OpenFailedMessage();
    } else if (m_ModBus.ReadParameter(data) != CModBusRtu::ResultOk) {
        Message("读取参数失败!");
    } else {
        const MeterParameters p = DecodeParameters(data);
        bool confirmed = false;
        int ratio = 0, alarm = 0, address = 0;
        RunOnUi([&] {
            if (m_closing) return;
            CDlgParameterSet dlg(this);
            dlg.LoadParameters(p);
            confirmed = dlg.exec() == QDialog::Accepted;
            ratio = dlg.m_nCurrentRatio;
            alarm = dlg.m_nAlarm;
            address = dlg.m_nAddress;
        });
        if (confirmed) {
            const int rc = m_ModBus.WriteParameter(EncodeParameterWrite(ratio, alarm, address, p.Register3));
            Message(rc == CModBusRtu::ResultOk ? "写入参数成功!" : "写入参数失败!");
        }
    }
    m_ModBus.Close();
}

void COrmetMasterDlg::CalibrateSequence(std::uint8_t port, std::uint16_t baud)
{
    if (!m_ModBus.OpenPort(port, baud)) OpenFailedMessage();
    else Message(m_ModBus.Calibrate() == CModBusRtu::ResultOk ? "校准成功!" : "校准失败!");
    m_ModBus.Close();
}

void COrmetMasterDlg::InnerParameterSequence(std::uint8_t port, std::uint16_t baud)
{
    InnerParameterData data{};
    if (!m_ModBus.OpenPort(port, baud)) {
        OpenFailedMessage();
    } else if (m_ModBus.ReadInnerParameter(data) != CModBusRtu::ResultOk) {
        Message("读取参数失败!");
    } else {
        InnerParameterTexts t = DecodeInnerParameters(data);
        bool confirmed = false;
        RunOnUi([&] {
            if (m_closing) return;
            CDlgParameterSetIn dlg(this);
            auto q = [](const std::string& s) { return QString::fromStdString(s); };
            dlg.m_strVoltageCal = q(t.VoltageCalibration);
            dlg.m_strCurrentCal = q(t.CurrentCalibration);
            dlg.m_strPowerCal = q(t.PowerCalibration);
            dlg.m_strEnergyCal = q(t.EnergyCalibration);
            dlg.m_strEnergyConst = q(t.EnergyConstant);
            dlg.m_strPulseThreshold = q(t.PulseThreshold);
            dlg.m_strStartThreshold = q(t.StartThreshold);
            dlg.m_strModuleNumber = q(t.ModuleNumber);
            dlg.m_strPulseRate = q(t.PulseRate);
            dlg.m_strAngleCorrection = q(t.AngleCorrection);
            dlg.m_strPowerCompensation = q(t.PowerCompensation);
            dlg.m_strCurrentCompensation = q(t.CurrentCompensation);
            confirmed = dlg.exec() == QDialog::Accepted;
            t.ModuleNumber = dlg.m_strModuleNumber.toStdString();
            t.PulseRate = dlg.m_strPulseRate.toStdString();
            t.AngleCorrection = dlg.m_strAngleCorrection.toStdString();
            t.PowerCompensation = dlg.m_strPowerCompensation.toStdString();
            t.CurrentCompensation = dlg.m_strCurrentCompensation.toStdString();
        });
        if (confirmed) {
            // The dialog refuses texts the conversion cannot take; should one arrive anyway,
            // nothing is written.
            const auto write = EncodeInnerParameterWrite(t);
            const int rc = write ? m_ModBus.WriteInnerParameter(*write) : CModBusRtu::ResultLinkFailed;
            Message(rc == CModBusRtu::ResultOk ? "写入参数成功!" : "写入参数失败!");
        }
    }
    m_ModBus.Close();
}
