// The exchange record pane driven offscreen against modbus-slave-sim: repeat, counters, the saved CSV, a
// float in CDAB order, a refused write, and a save that fails.
#include "lxcommdevice.h"
#include "mainform.h"
#include "message_box.h"
#include "record_model.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

constexpr int ComNumber = 9;

QString ReadFile(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return QString::fromStdString(s.str());
}

} // namespace

class TestRecordPane : public QObject {
    Q_OBJECT

private:
    QTemporaryDir PortMap;
    QProcess Sim;
    std::unique_ptr<QTemporaryDir> Folder;
    std::unique_ptr<TForm1> Form;
    QStringList Errors;
    QString SavePath;

    void OpenPort()
    {
        Form->LxCommDevice1->fSetPortNo(ComNumber);
        QTest::mouseClick(Form->Button4, Qt::LeftButton);
        QVERIFY(Form->LxCommDevice1->fGetActive());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(PortMap.isValid());
        qputenv("COMPORTS_DIR", PortMap.path().toUtf8());
        Sim.start(QStringLiteral(MODBUS_SLAVE_SIM),
                  {"-c", PortMap.path(), "-n", QString::number(ComNumber), "--exit-on-eof"});
        QVERIFY(Sim.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(Sim.canReadLine(), 10000); // the pty's path: the slave listens
        KestroComm32::SetMessageBoxHook([this](QWidget*, const QString& text, const QString&, QMessageBox::Icon) {
            Errors.append(text);
            return true;
        });
        TForm1::SaveFileName = [this](QWidget*, const QString&, const QString&) { return SavePath; };
    }

    void cleanupTestCase()
    {
        KestroComm32::SetMessageBoxHook(nullptr);
        Sim.closeWriteChannel();
        if (!Sim.waitForFinished(5000)) Sim.kill();
    }

    void init()
    {
        Folder = std::make_unique<QTemporaryDir>();
        QVERIFY(Folder->isValid());
        TForm1::ExecutableFolder = Folder->path();
        Errors.clear();
        Form = std::make_unique<TForm1>();
        Form->show();
        QVERIFY(QTest::qWaitForWindowExposed(Form.get()));
    }

    void cleanup() { Form.reset(); }

    // The window starts as the seed's; its button grows it by the pane and takes it away again.
    void paneIsOutOfTheWayUntilAskedFor()
    {
        QCOMPARE(Form->size(), QSize(771, 642));
        QVERIFY(!Form->RecordPaneShown());
        QTest::mouseClick(Form->ButtonRecord, Qt::LeftButton);
        QVERIFY(Form->RecordPaneShown());
        QTRY_VERIFY(Form->width() > 771 + 400);
        QCOMPARE(Form->PanelRecord->geometry().left(), 771);
        QTest::mouseClick(Form->ButtonRecord, Qt::LeftButton);
        QVERIFY(!Form->RecordPaneShown());
        QTRY_COMPARE(Form->width(), 771);
    }

    // 03H repeated 20 times at 100 ms: every round in the record and the counters, and in the saved CSV.
    void repeatTwentyRoundsAndSaveTheRecord()
    {
        OpenPort();
        QTest::mouseClick(Form->ButtonRecord, Qt::LeftButton);
        Form->Edit03_485Addr->setText("1");
        Form->Edit03_RegAddr->setText("0");
        Form->Edit03_RegNum->setText("4");
        Form->SpinRepeat[2]->setValue(100);
        // The user stops it as the 20th request shows.
        connect(Form->RecordModel, &QAbstractItemModel::rowsInserted, this, [this] {
            if (Form->Record.Counters().Requests == 20 && Form->Repeating(2))
                QTest::mouseClick(Form->ButtonRepeat[2], Qt::LeftButton);
        });
        QTest::mouseClick(Form->ButtonRepeat[2], Qt::LeftButton);
        QCOMPARE(Form->ButtonRepeat[2]->text(), QString("停止"));
        QTRY_VERIFY_WITH_TIMEOUT(!Form->Repeating(2) && !Form->Record.Awaiting(), 30000);
        QCOMPARE(Form->ButtonRepeat[2]->text(), QString("周期读取"));
        QCOMPARE(Form->Edit03_RegValue->text(), QString("0064 01F4 1234 ABCD "));
        QCOMPARE(Form->MemoSend->toPlainText().count('\n'), 20);
        QCOMPARE(Form->MemoReceive->toPlainText().count('\n'), 20);

        const auto& rows = Form->Record.Rows();
        QCOMPARE(rows.size(), std::size_t{40});
        for (std::size_t i = 2; i < rows.size(); i += 2) {
            const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(rows[i].Time - rows[i - 2].Time);
            QVERIFY2(gap.count() >= 99, qPrintable(QString::number(gap.count())));
        }
        const Busprobe::TCounters& n = Form->Record.Counters();
        QCOMPARE(n.Requests, 20L);
        QCOMPARE(n.Good, 20L);
        QCOMPARE(n.NoReply + n.CrcErrors + n.Exceptions, 0L);
        QCOMPARE(n.RoundTrips, 20L);
        QVERIFY(n.RoundTripMin <= n.RoundTripMax && n.RoundTripMax < 1000);
        QVERIFY2(Form->LabelCounters->text().startsWith("请求 20   正常 20   无应答 0   CRC错误 0   异常 0"),
                 qPrintable(Form->LabelCounters->text()));
        QCOMPARE(Form->RecordModel->rowCount(), 40);

        SavePath = Folder->filePath("record.csv");
        QTest::mouseClick(Form->ButtonSaveRecord, Qt::LeftButton);
        QVERIFY2(Errors.isEmpty(), qPrintable(Errors.join('|')));
        QFile file(SavePath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray csv = file.readAll();
        QVERIFY(csv.startsWith("\xEF\xBB\xBF")); // UTF-8 with its mark, for spreadsheets
        QStringList lines = QString::fromUtf8(csv.mid(3)).split("\r\n", Qt::SkipEmptyParts);
        QCOMPARE(lines.takeFirst(), QString("时间,方向,数据,往返时间(ms),结论"));
        int requests = 0, replies = 0;
        long sum = 0;
        for (const QString& line : lines) {
            const QStringList f = line.split(',');
            QCOMPARE(f.size(), 5);
            QVERIFY2(QDateTime::fromString(f[0], Qt::ISODateWithMs).isValid(), qPrintable(f[0]));
            if (f[1] == "发送") {
                ++requests;
                QCOMPARE(f[2], QString("01 03 00 00 00 04 44 09"));
            } else {
                ++replies;
                QCOMPARE(f[1], QString("接收"));
                QCOMPARE(f[4], QString("CRC 正确"));
                bool number = false;
                sum += f[3].toInt(&number);
                QVERIFY2(number, qPrintable(line));
            }
        }
        QCOMPARE(requests, 20);
        QCOMPARE(replies, 20);
        QCOMPARE(sum, static_cast<long>(n.RoundTripSum));

        // The reset button zeroes the counters and leaves the record.
        QTest::mouseClick(Form->ButtonResetCounters, Qt::LeftButton);
        QVERIFY(Form->LabelCounters->text().startsWith("请求 0   正常 0"));
        QCOMPARE(Form->RecordModel->rowCount(), 40);

        // Closing the port stops a repeat.
        QTest::mouseClick(Form->ButtonRepeat[2], Qt::LeftButton);
        QVERIFY(Form->Repeating(2));
        QTest::mouseClick(Form->Button6, Qt::LeftButton);
        QVERIFY(!Form->Repeating(2));
        QCOMPARE(Form->ButtonRepeat[2]->text(), QString("周期读取"));
    }

    // Registers 2 and 3 hold 0x1234 0xABCD: in CDAB order the float of 0xABCD1234.
    void floatInCdabOrderAndTheFormatIsKept()
    {
        OpenPort();
        QTest::mouseClick(Form->ButtonRecord, Qt::LeftButton);
        Form->ComboFormat[2]->setCurrentIndex(Form->ComboFormat[2]->findText("32位浮点 CDAB"));
        Form->Edit03_485Addr->setText("1");
        Form->Edit03_RegAddr->setText("2");
        Form->Edit03_RegNum->setText("2");
        QTest::mouseClick(Form->ButtonSend_03, Qt::LeftButton);
        const std::uint32_t bits = 0xABCDu << 16 | 0x1234u;
        float value;
        std::memcpy(&value, &bits, sizeof value);
        const QString expected = QString::asprintf("%.7g ", static_cast<double>(value));
        QTRY_COMPARE_WITH_TIMEOUT(Form->Edit03_RegValue->text(), expected, 5000);
        QVERIFY(expected.startsWith("-1.4571"));
        // The receive memo keeps its hex line.
        QVERIFY(Form->MemoReceive->toPlainText().startsWith("01 03 04 12 34 AB CD "));

        QVERIFY(Form->close());
        const QString ini = ReadFile(Folder->filePath("modbus_cfg.ini"));
        QVERIFY2(ini.contains("[03H]\n485Addr=1\nRegAddr=2\nRegNum=2\nFormat=FloatCDAB\n"), qPrintable(ini));
        Form = std::make_unique<TForm1>();
        QCOMPARE(Form->RecordSettings.Groups[2].Format, Busprobe::TValueFormat::FloatCDAB);
    }

    // A write the port refuses is told in the status label and the record, and not logged as sent; a save
    // that fails says why.
    void refusedWriteAndFailedSaveAreReported()
    {
        OpenPort();
        QTest::mouseClick(Form->ButtonRecord, Qt::LeftButton);
        Form->LxCommDevice1->fSetDisableWrite(true);
        Form->Edit03_485Addr->setText("1");
        Form->Edit03_RegAddr->setText("0");
        Form->Edit03_RegNum->setText("1");
        QTest::mouseClick(Form->ButtonSend_03, Qt::LeftButton);
        QCOMPARE(Form->LabelPort->text(), QString("发送失败：串口只接受了 0/8 字节"));
        QCOMPARE(Form->MemoSend->toPlainText(), QString());
        QCOMPARE(Form->Record.Rows().size(), std::size_t{1});
        QVERIFY(Form->Record.Rows().back().Failed);
        QCOMPARE(Form->RecordModel->index(0, 3).data().toString(), QString("发送失败：串口只接受了 0/8 字节"));
        QVERIFY(!Form->Record.Awaiting());
        QCOMPARE(Form->Record.Counters().Requests, 0L);

        SavePath = Folder->filePath("no-such-folder/memos.txt");
        QTest::mouseClick(Form->ButtonSaveMemos, Qt::LeftButton);
        QCOMPARE(Errors, QStringList{"无法保存 " + SavePath + "：" + QString::fromLocal8Bit(std::strerror(ENOENT))});
    }
};

QTEST_MAIN(TestRecordPane)
#include "test_record_pane.moc"
