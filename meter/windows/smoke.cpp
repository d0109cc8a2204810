// Ormet-Master's headless self-check: one measurement through the real main dialog.
#include "smoke.h"

#include "comsetdlg.h"
#include "dlgsupport.h"
#include "message_box.h"
#include "ormetmasterdlg.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace OrmetSmoke {

bool Requested()
{
    const char* value = std::getenv("ORMET_SMOKE");
    return value && std::strcmp(value, "1") == 0;
}

int PortFromEnvironment()
{
    const char* value = std::getenv("ORMET_SMOKE_PORT");
    if (!value || !*value) return 2;
    char* end = nullptr;
    const long port = std::strtol(value, &end, 10);
    // 通信设置 offers COM1 to COM12.
    return *end == '\0' && port >= 1 && port <= 12 ? static_cast<int>(port) : 0;
}

namespace {
void PrintLine(const QString& line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QPushButton* DialogButton(COrmetMasterDlg* dlg, int id)
{
    return dlg->findChild<QPushButton*>(QString::number(id), Qt::FindDirectChildrenOnly);
}
} // namespace

CSmokeRun::CSmokeRun() : m_poll(new QTimer(this))
{
    m_poll->setInterval(50);
    connect(m_poll, &QTimer::timeout, this, &CSmokeRun::Poll);
    // A box would wait for a click nobody makes: its text is the failure instead.
    KestroComm32::SetMessageBoxHook([this](QWidget*, const QString& text, const QString&, QMessageBox::Icon) {
        Fail(text);
        return true;
    });
    qApp->installEventFilter(this);
}

CSmokeRun::~CSmokeRun()
{
    qApp->removeEventFilter(this);
    KestroComm32::SetMessageBoxHook(nullptr);
}

bool CSmokeRun::eventFilter(QObject* watched, QEvent* event)
{
    if (m_state == TState::WaitingForDialog && event->type() == QEvent::Show) {
        if (auto* dlg = qobject_cast<COrmetMasterDlg*>(watched)) {
            m_dlg = dlg;
            m_state = TState::Measuring;
            qApp->removeEventFilter(this);
            QTimer::singleShot(0, this, &CSmokeRun::Start);
        }
    }
    return QObject::eventFilter(watched, event);
}

QString CSmokeRun::DisplayTexts() const
{
    QString texts;
    for (const CIanalogdisplayx* d : {&m_dlg->m_Voltage, &m_dlg->m_Current, &m_dlg->m_Power, &m_dlg->m_Energy,
                                      &m_dlg->m_Frequency, &m_dlg->m_PowerFactor})
        texts += (d->Control() ? d->Control()->Text() : QString()) + QLatin1Char('\n');
    return texts;
}

void CSmokeRun::Start()
{
    if (!m_dlg) return;
    const int port = PortFromEnvironment();
    if (port == 0) {
        Fail(QStringLiteral("ORMET_SMOKE_PORT must be a port from 1 to 12"));
        return;
    }
    {
        // The settings dialog's OK, without showing it modally.
        CComSetDlg set(m_dlg);
        set.m_nPort = m_dlg->Port();
        set.m_nBaud = 9600;
        set.m_ComboPort->setCurrentIndex(port - 1);
        set.m_ComboBaud->setCurrentIndex(0);
        set.accept();
        m_dlg->ApplyComSet(set.m_nPort, set.m_nBaud);
    }
    QPushButton* measure = DialogButton(m_dlg, COrmetMasterDlg::IDC_BUTTON_MEASURE);
    if (!measure || !measure->isEnabled()) {
        Fail(QStringLiteral("开始测量 is not available"));
        return;
    }
    m_initialTexts = DisplayTexts();
    measure->click();
    if (m_failed) return;
    m_deadline = std::chrono::steady_clock::now() + ValuesTimeout;
    m_poll->start();
}

void CSmokeRun::Poll()
{
    if (!m_dlg) {
        m_poll->stop();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_state == TState::Measuring) {
        if (DisplayTexts() != m_initialTexts) {
            PrintLine(QStringLiteral("ORMET_SMOKE U: ") + m_dlg->m_Voltage.Control()->Text());
            m_shown = true;
            Stop();
        } else if (!m_dlg->IsWorkerRunning()) {
            Fail(QStringLiteral("measuring ended without values"));
        } else if (now >= m_deadline) {
            Fail(QStringLiteral("no values within 20 s"));
        }
    } else if (m_state == TState::Stopping) {
        if (!m_dlg->IsWorkerRunning()) {
            Close();
        } else if (now >= m_deadline) {
            PrintLine(QStringLiteral("ORMET_SMOKE FAIL: measuring did not stop"));
            m_failed = true;
            m_deadline = now + StopTimeout; // keep waiting: the dialog cannot close before it stops
        }
    }
}

void CSmokeRun::Fail(const QString& text)
{
    PrintLine(QStringLiteral("ORMET_SMOKE FAIL: ") + text);
    m_failed = true;
    if (m_state == TState::Measuring) Stop();
}

void CSmokeRun::Stop()
{
    m_state = TState::Stopping;
    m_deadline = std::chrono::steady_clock::now() + StopTimeout;
    // 退出测量 while the loop runs; a loop that ended by itself is only waited for.
    if (QPushButton* measure = DialogButton(m_dlg, COrmetMasterDlg::IDC_BUTTON_MEASURE);
        measure && m_dlg->IsWorkerRunning() && measure->text() == QStringLiteral("退出测量"))
        measure->click();
    m_poll->start();
}

void CSmokeRun::Close()
{
    m_state = TState::Done;
    m_poll->stop();
    m_exitCode = m_shown && !m_failed ? 0 : 1;
    // 退出, or the same reject when the button is not there to click.
    QPushButton* exit = DialogButton(m_dlg, COrmetMasterDlg::IDC_BUTTON_EXIT);
    if (exit && exit->isEnabled()) exit->click();
    else m_dlg->reject();
}

} // namespace OrmetSmoke
