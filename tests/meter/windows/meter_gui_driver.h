// Helpers for driving Ormet-Master's windows offscreen: modal windows answered by a timer, and the
// meter simulator on a pseudo-terminal mapped as a COM port.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

// A message box as the driver saw it.
struct SeenMessage {
    QString text;
    QString title;
    QMessageBox::Icon icon;
    qint64 atMs; // since the driver started
};

// Polls for the active modal window every 10 ms, also inside nested modal loops. Message boxes are
// recorded and answered with OK; any other modal window goes to the handler, once.
class ModalDriver : public QObject {
public:
    std::function<void(QWidget*)> onDialog;
    // Runs while a message box is up, before it is answered.
    std::function<void(const SeenMessage&)> onMessage;
    std::vector<SeenMessage> messages;
    QElapsedTimer clock;

    ModalDriver()
    {
        clock.start();
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
        m_timer.start();
    }

    QStringList Texts() const
    {
        QStringList list;
        for (const SeenMessage& m : messages) list << m.text;
        return list;
    }
    int Count(const QString& text) const { return static_cast<int>(Texts().count(text)); }

private:
    void Tick()
    {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible() || w->property("driverSeen").toBool()) return;
        w->setProperty("driverSeen", true);
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            messages.push_back({box->text(), box->windowTitle(), box->icon(), clock.elapsed()});
            if (onMessage) onMessage(messages.back());
            QMetaObject::invokeMethod(
                box, [box] { box->done(QMessageBox::Ok); }, Qt::QueuedConnection);
            return;
        }
        if (onDialog) {
            QPointer<QWidget> guard(w);
            QMetaObject::invokeMethod(
                this,
                [this, guard] {
                    if (guard) onDialog(guard);
                },
                Qt::QueuedConnection);
        }
    }

    QTimer m_timer;
};

#ifdef ORMET_METER_SIM
// The meter simulator on a new pseudo-terminal, linked as COM<n> in a temporary port map directory
// that $COMPORTS_DIR names. Commands go to its stdin; its report lines are collected.
class MeterSim {
public:
    explicit MeterSim(int com = 1) : m_com(com) {}
    ~MeterSim() { Stop(); }

    bool Start(const QStringList& extra = {})
    {
        if (!m_dir.isValid()) return false;
        qputenv("COMPORTS_DIR", m_dir.path().toLocal8Bit());
        QStringList args{"--link", m_dir.path(), "--com", QString::number(m_com), "--stdin"};
        args << extra;
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { Collect(); });
        m_process.start(QStringLiteral(ORMET_METER_SIM), args);
        if (!m_process.waitForStarted(5000)) return false;
        return QTest::qWaitFor([this] { return !m_lines.isEmpty(); }, 5000);
    }

    // Sends a command and waits for its acknowledgement.
    bool Command(const QString& line)
    {
        const int before = static_cast<int>(m_lines.size());
        m_process.write((line + QLatin1Char('\n')).toUtf8());
        const QString ok = QStringLiteral("ok ") + line;
        return QTest::qWaitFor([&] { return m_lines.mid(before).contains(ok); }, 5000);
    }

    void Stop()
    {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.closeWriteChannel(); // the simulator ends when its stdin closes
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    QString Dir() const { return m_dir.path(); }
    QString Path() const { return m_lines.isEmpty() ? QString() : m_lines.first(); }
    const QStringList& Lines()
    {
        Collect();
        return m_lines;
    }
    // Report lines beginning with prefix.
    QStringList LinesStarting(const QString& prefix)
    {
        QStringList out;
        for (const QString& l : Lines())
            if (l.startsWith(prefix)) out << l;
        return out;
    }
    bool WaitForLine(const QString& prefix, int ms)
    {
        return QTest::qWaitFor([&] { return !LinesStarting(prefix).isEmpty(); }, ms);
    }

private:
    void Collect()
    {
        m_partial += QString::fromUtf8(m_process.readAllStandardOutput());
        for (int nl = static_cast<int>(m_partial.indexOf('\n')); nl >= 0;
             nl = static_cast<int>(m_partial.indexOf('\n'))) {
            m_lines << m_partial.left(nl);
            m_partial.remove(0, nl + 1);
        }
    }

    int m_com;
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_partial;
    QStringList m_lines;
};
#endif // ORMET_METER_SIM
