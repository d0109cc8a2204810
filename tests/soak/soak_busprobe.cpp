// Soak of busprobe's window: back-to-back requests of every group against the libmodbus slave.
#include "crc_frame.h"
#include "lxcommdevice.h"
#include "mainform.h"
#include "message_box.h"
#include "meter_gui_driver.h"
#include "modbus_request.h"
#include "modbus_slave.h"
#include "soak_probe.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace {

const bool LongRun = soak::AllowLongRun();

constexpr int ComNumber = 6;
constexpr int ReplyWaitMs = 3000;
// The logs are emptied with their buttons after this many replies (some 200 s of requests).
constexpr int ClearAfterLines = 2000;

using Bytes = std::vector<std::uint8_t>;

QString Hex(const Bytes& bytes)
{
    return QString::fromStdString(Busprobe::HexLine(bytes.data(), static_cast<int>(bytes.size())));
}

QString Words(const std::vector<std::uint16_t>& words)
{
    QString text;
    for (std::uint16_t w : words) text += QStringLiteral("%1 ").arg(w, 4, 16, QChar('0')).toUpper();
    return text;
}

// Lines a log holds: every line ends with a line break, so the last block is always empty.
int LogLines(QPlainTextEdit* memo) { return memo->document()->blockCount() - 1; }

QString LastLogLine(QPlainTextEdit* memo) { return memo->document()->lastBlock().previous().text(); }

} // namespace

class SoakBusprobe : public QObject {
    Q_OBJECT

    std::unique_ptr<TModbusPtySlave> Slave;
    std::unique_ptr<QTemporaryDir> Folder;
    std::unique_ptr<TForm1> Form;
    QStringList Messages;

    // One request of the cycle: fills its group and clicks; check() then judges the logged reply.
    struct TStep {
        QString Name;
        std::function<void(int k)> send;
        std::function<QString(int k)> check; // empty when the reply is right, else what is wrong
    };
    std::vector<TStep> Steps;

    void Click(QPushButton* b) { QTest::mouseClick(b, Qt::LeftButton); }

    void Fill(QLineEdit* addr, QLineEdit* reg, QLineEdit* third, int a, int r, const QString& t)
    {
        addr->setText(QString::number(a));
        reg->setText(QString::number(r));
        third->setText(t);
    }

    // Reply of a read of bits: byte j bit i is bit first + 8j + i.
    Bytes BitsReply(std::uint8_t fc, int first, int count, bool (TModbusPtySlave::*bit)(int))
    {
        Bytes reply{1, fc, static_cast<std::uint8_t>((count + 7) / 8)};
        for (int j = 0; j < (count + 7) / 8; ++j) {
            std::uint8_t b = 0;
            for (int i = 0; i < 8 && 8 * j + i < count; ++i)
                if ((Slave.get()->*bit)(first + 8 * j + i)) b |= static_cast<std::uint8_t>(1u << i);
            reply.push_back(b);
        }
        return WithCrc(reply);
    }

    Bytes WordsReply(std::uint8_t fc, const std::vector<std::uint16_t>& words)
    {
        Bytes reply{1, fc, static_cast<std::uint8_t>(2 * words.size())};
        for (std::uint16_t w : words) {
            reply.push_back(static_cast<std::uint8_t>(w >> 8));
            reply.push_back(static_cast<std::uint8_t>(w));
        }
        return WithCrc(reply);
    }

    std::vector<std::uint16_t> Registers(int first, int count, std::uint16_t (TModbusPtySlave::*reg)(int))
    {
        std::vector<std::uint16_t> words;
        for (int i = 0; i < count; ++i) words.push_back((Slave.get()->*reg)(first + i));
        return words;
    }

    // The reply line must be want; for reads the group's field must show the data as words.
    QString Judge(const QString& want, QLineEdit* field = nullptr, const QString& decoded = QString())
    {
        const QString line = LastLogLine(Form->MemoReceive);
        if (line != want) return QStringLiteral("reply '%1', expected '%2'").arg(line, want);
        if (field && field->text() != decoded)
            return QStringLiteral("field '%1', expected '%2'").arg(field->text(), decoded);
        return {};
    }

    // Data bytes of a reply as big-endian words: reads of bits ask for 16 or 32, so the field shows whole words.
    static std::vector<std::uint16_t> DataWords(const Bytes& reply)
    {
        std::vector<std::uint16_t> words;
        for (std::size_t i = 3; i + 3 < reply.size(); i += 2)
            words.push_back(static_cast<std::uint16_t>(reply[i] << 8 | reply[i + 1]));
        return words;
    }

    static std::uint8_t B(int v) { return static_cast<std::uint8_t>(v); }

    void BuildSteps()
    {
        TForm1* f = Form.get();
        Steps.push_back({"01H",
                         [this, f](int k) {
                             Fill(f->Edit01_485Addr, f->Edit01_RegAddr, f->Edit01_RegNum, 1, k % 60,
                                  k % 2 ? "16" : "32");
                             Click(f->ButtonSend_01);
                         },
                         [this, f](int k) {
                             const Bytes r = BitsReply(1, k % 60, k % 2 ? 16 : 32, &TModbusPtySlave::Coil);
                             return Judge(Hex(r), f->Edit01_RegValue, Words(DataWords(r)));
                         }});
        Steps.push_back({"02H",
                         [this, f](int k) {
                             Fill(f->Edit02_485Addr, f->Edit02_RegAddr, f->Edit02_RegNum, 1, k % 60,
                                  k % 2 ? "32" : "16");
                             Click(f->ButtonSend_02);
                         },
                         [this, f](int k) {
                             const Bytes r = BitsReply(2, k % 60, k % 2 ? 32 : 16, &TModbusPtySlave::DiscreteInput);
                             return Judge(Hex(r), f->Edit02_RegValue, Words(DataWords(r)));
                         }});
        Steps.push_back({"03H",
                         [this, f](int k) {
                             Fill(f->Edit03_485Addr, f->Edit03_RegAddr, f->Edit03_RegNum, 1, k % 80,
                                  QString::number(1 + k % 20));
                             Click(f->ButtonSend_03);
                         },
                         [this, f](int k) {
                             const auto w = Registers(k % 80, 1 + k % 20, &TModbusPtySlave::HoldingRegister);
                             return Judge(Hex(WordsReply(3, w)), f->Edit03_RegValue, Words(w));
                         }});
        Steps.push_back({"04H",
                         [this, f](int k) {
                             Fill(f->Edit04_485Addr, f->Edit04_RegAddr, f->Edit04_RegNum, 1, k % 80,
                                  QString::number(1 + k % 20));
                             Click(f->ButtonSend_04);
                         },
                         [this, f](int k) {
                             const auto w = Registers(k % 80, 1 + k % 20, &TModbusPtySlave::InputRegister);
                             return Judge(Hex(WordsReply(4, w)), f->Edit04_RegValue, Words(w));
                         }});
        // Writes: the echo comes back and the slave holds the value.
        Steps.push_back({"05H",
                         [this, f](int k) {
                             Fill(f->Edit05_485Addr, f->Edit05_RegAddr, f->Edit05_RegValue, 1, k % 100,
                                  k % 2 ? "$FF00" : "0");
                             Click(f->ButtonSend_05);
                         },
                         [this](int k) {
                             const std::uint8_t on = k % 2 ? 0xFF : 0;
                             const QString why = Judge(Hex(WithCrc({1, 5, 0, B(k % 100), on, 0})));
                             if (!why.isEmpty()) return why;
                             return Slave->Coil(k % 100) == (on != 0) ? QString() : QStringLiteral("coil not written");
                         }});
        Steps.push_back({"06H",
                         [this, f](int k) {
                             Fill(f->Edit06_485Addr, f->Edit06_RegAddr, f->Edit06_RegValue, 1, k % 100,
                                  QString::number(k & 0xFFFF));
                             Click(f->ButtonSend_06);
                         },
                         [this](int k) {
                             const QString why = Judge(Hex(WithCrc({1, 6, 0, B(k % 100), B(k >> 8), B(k)})));
                             if (!why.isEmpty()) return why;
                             const bool ok = Slave->HoldingRegister(k % 100) == static_cast<std::uint16_t>(k);
                             return ok ? QString() : QStringLiteral("register not written");
                         }});
        Steps.push_back({"10H",
                         [this, f](int k) {
                             Fill(f->Edit10_485Addr, f->Edit10_RegAddr, f->Edit10_RegValue, 1, k % 98,
                                  Hex({B(k >> 8), B(k), 0xA5, B(k % 251)}));
                             Click(f->ButtonSend_10);
                         },
                         [this](int k) {
                             const QString why = Judge(Hex(WithCrc({1, 0x10, 0, B(k % 98), 0, 2})));
                             if (!why.isEmpty()) return why;
                             const auto w = Registers(k % 98, 2, &TModbusPtySlave::HoldingRegister);
                             const bool ok = w[0] == static_cast<std::uint16_t>(k) && w[1] == (0xA500 | k % 251);
                             return ok ? QString() : QStringLiteral("registers not written");
                         }});
        // Free form: with the CRC added by the window, and with the CRC typed in.
        Steps.push_back({"free+CRC",
                         [this, f](int k) {
                             f->EditSend->setText(Hex({1, 3, 0, B(k % 90), 0, 3}));
                             Click(f->ButtonSendWithCRC);
                         },
                         [this, f](int k) {
                             const auto w = Registers(k % 90, 3, &TModbusPtySlave::HoldingRegister);
                             return Judge(Hex(WordsReply(3, w)), f->Edit03_RegValue, Words(w));
                         }});
        Steps.push_back({"free",
                         [this, f](int k) {
                             f->EditSend->setText(Hex(WithCrc({1, 4, 0, B(k % 90), 0, 4})));
                             Click(f->ButtonSend);
                         },
                         [this, f](int k) {
                             const auto w = Registers(k % 90, 4, &TModbusPtySlave::InputRegister);
                             return Judge(Hex(WordsReply(4, w)), f->Edit04_RegValue, Words(w));
                         }});
    }

    qsizetype LogChars()
    {
        return Form->MemoSend->document()->characterCount() + Form->MemoReceive->document()->characterCount();
    }

    void ClearLogs()
    {
        Click(Form->ButtonClrSendData);
        Click(Form->ButtonClrReceiveData);
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase()
    {
        Slave = std::make_unique<TModbusPtySlave>(ComNumber);
        Folder = std::make_unique<QTemporaryDir>();
        QVERIFY(Folder->isValid());
        TForm1::ExecutableFolder = Folder->path();
        KestroComm32::SetMessageBoxHook([this](QWidget*, const QString& text, const QString&, QMessageBox::Icon) {
            Messages.append(text);
            return true;
        });
        Form = std::make_unique<TForm1>();
        Form->show();
        QVERIFY(QTest::qWaitForWindowExposed(Form.get()));
        Form->LxCommDevice1->fSetPortNo(ComNumber);
        Click(Form->Button4);
        QVERIFY2(Messages.isEmpty(), qPrintable(Messages.join('|')));
        QVERIFY(Form->LxCommDevice1->fGetActive());
        BuildSteps();
    }

    void cleanupTestCase()
    {
        Form.reset();
        Slave.reset();
        Folder.reset();
        KestroComm32::SetMessageBoxHook(nullptr);
    }

    void backToBackRequests()
    {
        const int seconds = soak::Seconds();
        const int warmUp = soak::WarmUpSeconds(seconds);
        soak::LatenessProbe probe;
        QElapsedTimer run;
        run.start();
        long long requests = 0, replies = 0, missing = 0, wrong = 0, extra = 0;
        long long rssStart = -1;
        qsizetype logPeakChars = 0;
        int clears = 0;
        QStringList afterClears;
        QStringList firstProblems;
        std::vector<int> perStep(Steps.size(), 0);

        for (int k = 0; run.elapsed() < seconds * 1000LL; ++k) {
            if (rssStart < 0 && run.elapsed() >= warmUp * 1000LL) {
                // The start sample: warmed up, the logs emptied by their own buttons, the probe from here.
                ClearLogs();
                rssStart = soak::ResidentBytes();
                probe.Start();
            }
            if (LogLines(Form->MemoReceive) >= ClearAfterLines) {
                // What a user does with a long log; the memory a log of this size takes stays bounded.
                logPeakChars = std::max(logPeakChars, LogChars());
                ClearLogs();
                ++clears;
                afterClears << soak::Mb(soak::ResidentBytes()); // flat if nothing but the log grew
            }
            const TStep& step = Steps[static_cast<std::size_t>(k) % Steps.size()];
            const int round = k / static_cast<int>(Steps.size());
            const int sentBefore = LogLines(Form->MemoSend);
            const int receivedBefore = LogLines(Form->MemoReceive);
            step.send(round);
            if (LogLines(Form->MemoSend) != sentBefore + 1) {
                ++wrong;
                if (firstProblems.size() < 5) firstProblems << step.Name + ": nothing sent";
                continue;
            }
            ++requests;
            if (!QTest::qWaitFor([&] { return LogLines(Form->MemoReceive) > receivedBefore; }, ReplyWaitMs)) {
                ++missing;
                if (firstProblems.size() < 5) firstProblems << step.Name + ": no reply";
                continue;
            }
            const int got = LogLines(Form->MemoReceive) - receivedBefore;
            replies += got;
            if (got > 1) {
                // Two replies in one logged line or split over two: either way not one reply per line.
                ++extra;
                if (firstProblems.size() < 5) firstProblems << step.Name + ": reply over several lines";
                continue;
            }
            const QString why = step.check(round);
            if (!why.isEmpty()) {
                ++wrong;
                if (firstProblems.size() < 5) firstProblems << step.Name + ": " + why;
            }
            ++perStep[static_cast<std::size_t>(k) % Steps.size()];
        }
        probe.Stop();

        const qsizetype logChars = LogChars();
        logPeakChars = std::max(logPeakChars, logChars);
        const long long rssWithLog = soak::ResidentBytes();
        ClearLogs();
        const long long rssEnd = soak::ResidentBytes();
        const long long growth = rssEnd - rssStart;
        QStringList steps;
        for (std::size_t i = 0; i < Steps.size(); ++i)
            steps << QStringLiteral("%1:%2").arg(Steps[i].Name).arg(perStep[i]);

        const bool pass = rssStart >= 0 && requests > 0 && missing == 0 && wrong == 0 && extra == 0 &&
                          replies == requests && Messages.isEmpty() && probe.WindowMaxMs() <= soak::MaxLatenessMs &&
                          growth < soak::MaxGrowthBytes;
        soak::Report(
            "busprobe",
            QStringLiteral(
                "seconds=%1 requests=%2 replies=%3 slave_replies=%4 missing=%5 wrong=%6 split=%7 "
                "rss_start_mb=%8 rss_end_with_log_mb=%9 rss_end_mb=%10 growth_mb=%11 "
                "log_chars=%12 log_mb=%13 log_peak_chars=%14 log_clears=%15 rss_after_clears_mb=%16 result=%17")
                .arg(seconds)
                .arg(requests)
                .arg(replies)
                .arg(Slave->Replies.load())
                .arg(missing)
                .arg(wrong)
                .arg(extra)
                .arg(soak::Mb(rssStart), soak::Mb(rssWithLog), soak::Mb(rssEnd), soak::Mb(growth))
                .arg(logChars)
                .arg(soak::Mb(rssWithLog - rssEnd))
                .arg(logPeakChars)
                .arg(clears)
                .arg((afterClears + QStringList{soak::Mb(rssEnd)}).join(','))
                .arg(pass ? "pass" : "fail"));
        soak::ReportLateness("busprobe", probe);
        soak::Report("busprobe", "per_group " + steps.join(' '));
        for (const QString& p : firstProblems) soak::Report("busprobe", "problem " + p);

        QVERIFY2(rssStart >= 0, "the run ended before its warm-up");
        QVERIFY2(Messages.isEmpty(), qPrintable(Messages.join('|')));
        QVERIFY2(firstProblems.isEmpty(), qPrintable(firstProblems.join(" | ")));
        QCOMPARE(replies, requests);
        QVERIFY(requests >= seconds); // far more than one a second on a healthy line
        QVERIFY2(probe.WindowMaxMs() <= soak::MaxLatenessMs, qPrintable(QString::number(probe.WindowMaxMs())));
        QVERIFY2(growth < soak::MaxGrowthBytes, qPrintable(soak::Mb(growth) + " MB"));
    }
};

QTEST_MAIN(SoakBusprobe)
#include "soak_busprobe.moc"
