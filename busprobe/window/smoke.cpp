// busprobe's headless self-check: one 03H read through the real window.
#include "smoke.h"

#include "lxcommdevice.h"
#include "mainform.h"
#include "message_box.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Busprobe {

const char* const SmokeVariable = "BUSPROBE_SMOKE";

bool SmokeRequested()
{
    const char* value = std::getenv(SmokeVariable);
    return value && std::strcmp(value, "1") == 0;
}

namespace {
void PrintLine(const QString& line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
} // namespace

TSmokeRun::TSmokeRun(TForm1& form) : m_form(form), m_poll(new QTimer(this))
{
    m_poll->setInterval(50);
    connect(m_poll, &QTimer::timeout, this, &TSmokeRun::Poll);
    // A box would wait for a click nobody makes: its text is the failure instead.
    KestroComm32::SetMessageBoxHook([this](QWidget*, const QString& text, const QString&, QMessageBox::Icon) {
        Fail(text);
        return true;
    });
}

TSmokeRun::~TSmokeRun() { KestroComm32::SetMessageBoxHook(nullptr); }

void TSmokeRun::Start()
{
    m_form.Button4->click();
    if (m_done) return;
    if (!m_form.LxCommDevice1->fGetActive()) {
        Fail(QStringLiteral("the port did not open"));
        return;
    }
    m_form.ButtonSend_03->click();
    if (m_done) return;
    m_deadline = std::chrono::steady_clock::now() + ReplyTimeout;
    m_poll->start();
}

void TSmokeRun::Poll()
{
    if (m_done) return;
    const QString text = m_form.Edit03_RegValue->text();
    if (!text.isEmpty() && text != QStringLiteral(" ")) {
        PrintLine(QStringLiteral("BUSPROBE_SMOKE 03H: ") + text);
        m_exitCode = 0;
        Finish();
    } else if (std::chrono::steady_clock::now() >= m_deadline) {
        Fail(QStringLiteral("no reply"));
    }
}

void TSmokeRun::Fail(const QString& text)
{
    PrintLine(QStringLiteral("BUSPROBE_SMOKE FAIL: ") + text);
    m_exitCode = 1;
    if (!m_done) Finish();
}

void TSmokeRun::Finish()
{
    m_done = true;
    m_poll->stop();
    // Closed from the event loop, not from inside a button's handler.
    QTimer::singleShot(0, &m_form, [this] { m_form.close(); });
}

} // namespace Busprobe
