// Headless self-check (BUSPROBE_SMOKE=1): open the port, read the 03H group once, report, close.
#pragma once

#include <QObject>
#include <QString>

#include <chrono>

class QTimer;
class TForm1;

namespace Busprobe {

// Name of the environment variable that turns the check on.
extern const char* const SmokeVariable; // "BUSPROBE_SMOKE"
bool SmokeRequested();

// Drives the shown window as a user would: 打开串口, then 读取 in the 03H group, then waits for the
// decoded reply. Message boxes become the failure line instead of opening. One line goes to stdout;
// the window is then closed normally, so its settings are saved.
class TSmokeRun : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::seconds ReplyTimeout{20};

    explicit TSmokeRun(TForm1& form);
    ~TSmokeRun() override;
    void Start();
    // 0 after a decoded reply, 1 after any failure (or before the run has finished).
    int ExitCode() const { return m_exitCode; }

private:
    void Poll();
    void Fail(const QString& text);
    void Finish();

    TForm1& m_form;
    QTimer* m_poll;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_done = false;
    int m_exitCode = 1;
};

} // namespace Busprobe
