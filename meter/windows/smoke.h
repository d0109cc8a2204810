// Headless self-check (ORMET_SMOKE=1, ORMET_SMOKE_PORT=n): measure once on COMn, report, close.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>

class COrmetMasterDlg;
class QTimer;

namespace OrmetSmoke {

// ORMET_SMOKE is "1".
bool Requested();
// COMn from ORMET_SMOKE_PORT (default 2); 0 when the value is not a port 通信设置 offers.
int PortFromEnvironment();

// Waits for the main dialog to show, then drives it as a user would: 通信设置 with COMn at 9600
// and OK, 开始测量, the first values, 退出测量, 退出. Message boxes become the failure line instead
// of opening. One line goes to stdout.
class CSmokeRun : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::seconds ValuesTimeout{20};
    static constexpr std::chrono::seconds StopTimeout{20};

    CSmokeRun();
    ~CSmokeRun() override;
    // 0 after values were shown and the dialog closed, 1 otherwise.
    int ExitCode() const { return m_exitCode; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class TState { WaitingForDialog, Measuring, Stopping, Done };

    void Start();
    void Poll();
    void Fail(const QString& text);
    void Stop();
    void Close();
    QString DisplayTexts() const;

    QPointer<COrmetMasterDlg> m_dlg;
    QTimer* m_poll;
    TState m_state = TState::WaitingForDialog;
    QString m_initialTexts;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_shown = false; // values have been reported
    bool m_failed = false;
    int m_exitCode = 1;
};

} // namespace OrmetSmoke
