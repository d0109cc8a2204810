// The main window driven offscreen: layout, settings file, closed port, errors, and traffic with libmodbus.
#include "comm32_error.h"
#include "crc_frame.h"
#include "lxcommdevice.h"
#include "lxcommdevice_settings.h"
#include "mainform.h"
#include "message_box.h"
#include "modbus_request.h"
#include "modbus_slave.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <vector>

namespace {

constexpr int ComNumber = 5;
constexpr int ReplyTimeoutMs = 5000;

QString Line(const std::vector<std::uint8_t>& bytes)
{
    return QString::fromStdString(Busprobe::HexLine(bytes.data(), static_cast<int>(bytes.size()))) + "\n";
}

QString ReadFile(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return QString::fromStdString(s.str());
}

void WriteFile(const QString& path, const std::string& content)
{
    std::ofstream(path.toStdString(), std::ios::binary) << content;
}

} // namespace

class TestMainForm : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TModbusPtySlave> Slave;
    std::unique_ptr<QTemporaryDir> Folder;
    std::unique_ptr<TForm1> Form;
    QStringList Messages;
    QStringList Errors;

    QString IniPath() const { return Folder->filePath("modbus_cfg.ini"); }

    void NewForm()
    {
        Form.reset();
        Form = std::make_unique<TForm1>();
        Form->show();
        QVERIFY(QTest::qWaitForWindowExposed(Form.get()));
    }

    void OpenPort()
    {
        Form->LxCommDevice1->fSetPortNo(ComNumber);
        QTest::mouseClick(Form->Button4, Qt::LeftButton);
        QVERIFY2(Messages.isEmpty(), qPrintable(Messages.join('|')));
        QVERIFY(Form->LxCommDevice1->fGetActive());
        QVERIFY(!Form->Button4->isEnabled());
        QVERIFY(Form->Button6->isEnabled());
    }

    // Runs Button1Click, and inside the modal dialog does `act` to it; the dialog is closed in any case.
    void WithSettingsDialog(const std::function<void(KestroComm32::TForm_LxCommDevice_Settings*)>& act)
    {
        bool seen = false;
        QDeadlineTimer deadline(ReplyTimeoutMs);
        std::function<void()> look = [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<KestroComm32::TForm_LxCommDevice_Settings*>(w);
                if (!dialog || !dialog->isVisible()) continue;
                seen = true;
                act(dialog);
                if (dialog->isVisible()) dialog->reject();
                return;
            }
            if (!deadline.hasExpired()) QTimer::singleShot(10, this, look);
        };
        QTimer::singleShot(0, this, look);
        QTest::mouseClick(Form->Button1, Qt::LeftButton);
        QVERIFY(seen);
    }

    void Fill(QLineEdit* addr, QLineEdit* reg, QLineEdit* third, const char* a, const char* r, const char* t)
    {
        addr->setText(a);
        reg->setText(r);
        third->setText(t);
    }

private slots:
    void initTestCase()
    {
        Slave = std::make_unique<TModbusPtySlave>(ComNumber);
        // The window's error box goes to Errors; its plain box and the settings dialog's boxes to Messages.
        KestroComm32::SetMessageBoxHook(
            [this](QWidget* owner, const QString& text, const QString&, QMessageBox::Icon icon) {
                (icon == QMessageBox::Critical && owner == Form.get() ? Errors : Messages).append(text);
                return true;
            });
    }

    void cleanupTestCase()
    {
        Form.reset();
        Slave.reset();
        KestroComm32::SetMessageBoxHook(nullptr);
    }

    void init()
    {
        Folder = std::make_unique<QTemporaryDir>();
        QVERIFY(Folder->isValid());
        TForm1::ExecutableFolder = Folder->path();
        Messages.clear();
        Errors.clear();
        Slave->Reset();
        NewForm();
    }

    void cleanup()
    {
        Form.reset();
        Folder.reset();
    }

    void layoutAndNames()
    {
        TForm1& f = *Form;
        QCOMPARE(f.windowTitle(), QString("MODBUS调试助手（V1.0）"));
        QCOMPARE(f.size(), QSize(771, 642));
        // The seed's size is the start and the least; larger (or maximised) shows the record pane.
        QCOMPARE(f.minimumSize(), QSize(771, 642));
        QVERIFY(f.windowFlags() & Qt::WindowMaximizeButtonHint);
        QCOMPARE(f.font().pixelSize(), 11);

        const char* names[] = {"GroupBox1",
                               "Button1",
                               "Button4",
                               "Button6",
                               "LabelPort",
                               "GroupBox6",
                               "GroupBox7",
                               "GroupBox2",
                               "GroupBox8",
                               "GroupBox9",
                               "GroupBox3",
                               "GroupBox4",
                               "GroupBox5",
                               "EditSend",
                               "ButtonSend",
                               "ButtonSendWithCRC",
                               "Label6",
                               "MemoSend",
                               "ButtonClrSendData",
                               "Label28",
                               "MemoReceive",
                               "ButtonClrReceiveData",
                               "Label27",
                               "LxCommDevice1",
                               "Timer1"};
        for (const char* n : names) QVERIFY2(f.findChild<QObject*>(n), n);
        for (const char* g : {"01", "02", "03", "04", "05", "06", "10"}) {
            const QString p = g;
            for (const QString& suffix : {QString("_485Addr"), QString("_RegAddr")}) {
                auto* e = f.findChild<QLineEdit*>("Edit" + p + suffix);
                QVERIFY(e);
                QVERIFY(e->alignment() & Qt::AlignRight);
            }
            QVERIFY(f.findChild<QPushButton*>("ButtonSend_" + p));
            QVERIFY(f.findChild<QLineEdit*>("Edit" + p + (p.toInt() <= 4 ? "_RegNum" : "_RegValue")));
        }
        for (QLineEdit* result : {f.Edit01_RegValue, f.Edit02_RegValue, f.Edit03_RegValue, f.Edit04_RegValue}) {
            QCOMPARE(result->width(), 212);
            QVERIFY(result->alignment() & Qt::AlignLeft);
            QVERIFY(!result->isReadOnly());
        }
        QCOMPARE(f.Edit10_RegValue->width(), 188);
        QCOMPARE(f.ButtonSend_03->text(), QString("读取"));
        QCOMPARE(f.ButtonSend_06->text(), QString("发送"));
        QCOMPARE(f.GroupBox2->title(), QString("03H指令（读保持寄存器）"));
        QCOMPARE(f.GroupBox4->geometry(), QRect(341, 266, 422, f.GroupBox4->height()));
        QCOMPARE(f.MemoSend->geometry(), QRect(8, 444, 369, 170));
        QCOMPARE(f.MemoReceive->geometry(), QRect(392, 444, 369, 170));
        QCOMPARE(f.ButtonSendWithCRC->text(), QString("带CRC发送"));
        QCOMPARE(f.Label27->text(), QString("V1.1"));
        QCOMPARE(f.Label27->font().pixelSize(), 12);
        QCOMPARE(f.font().families().value(0), QString("Tahoma"));
        QVERIFY(f.Label27->font().families().contains("宋体"));
        QVERIFY(!(f.ButtonClrReceiveData->focusPolicy() & Qt::TabFocus));
        QVERIFY(f.ButtonClrSendData->focusPolicy() & Qt::TabFocus);
        QVERIFY(f.MemoSend->tabChangesFocus() && f.MemoReceive->tabChangesFocus());
        QVERIFY(f.Button4->isEnabled());
        QVERIFY(!f.Button6->isEnabled());
        QCOMPARE(f.Timer1->interval(), 100);
        QVERIFY(f.Timer1->isActive());
        // All widgets stay inside the client area.
        for (QWidget* w : f.findChildren<QWidget*>())
            QVERIFY2(f.rect().contains(QRect(w->mapTo(&f, QPoint(0, 0)), w->size())), qPrintable(w->objectName()));
    }

    void layoutPlacesNothingOverOrCut()
    {
        TForm1& f = *Form;
        QCOMPARE(f.pos(), QPoint(0, 0));
        const std::pair<QWidget*, QPoint> places[] = {
            {f.GroupBox1, {8, 8}},     {f.GroupBox6, {8, 95}},    {f.GroupBox7, {8, 201}},
            {f.GroupBox2, {8, 305}},   {f.GroupBox8, {342, 8}},   {f.GroupBox9, {342, 111}},
            {f.GroupBox3, {341, 190}}, {f.GroupBox4, {341, 266}}, {f.GroupBox5, {343, 347}},
        };
        for (const auto& [w, place] : places) QCOMPARE(w->pos(), place);
        QCOMPARE(f.GroupBox1->size(), QSize(313, 78));

        // Siblings never cover each other: the form's own controls, and the controls of each group.
        QList<QWidget*> parents{&f};
        for (QGroupBox* g : f.findChildren<QGroupBox*>()) parents.append(g);
        for (QWidget* parent : parents) {
            const QList<QWidget*> kids = parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
            for (int i = 0; i < kids.size(); ++i) {
                if (parent != &f)
                    QVERIFY2(parent->rect().contains(kids[i]->geometry()), qPrintable(kids[i]->objectName()));
                for (int j = i + 1; j < kids.size(); ++j)
                    QVERIFY2(!kids[i]->geometry().intersects(kids[j]->geometry()),
                             qPrintable(kids[i]->objectName() + " / " + kids[j]->objectName()));
            }
        }

        // Every caption fits its control in the font the window really uses.
        for (QLabel* l : f.findChildren<QLabel*>()) {
            QVERIFY2(l->fontMetrics().horizontalAdvance(l->text()) <= l->contentsRect().width(), qPrintable(l->text()));
            QVERIFY2(l->fontMetrics().height() <= l->height() + 1, qPrintable(l->text()));
        }
        f.LabelPort->setText("当前串口:ttyUSB10 波特率: 256000");
        QVERIFY(f.LabelPort->fontMetrics().horizontalAdvance(f.LabelPort->text()) <= f.LabelPort->width());
        for (QPushButton* b : f.findChildren<QPushButton*>())
            QVERIFY2(b->fontMetrics().horizontalAdvance(b->text()) + 8 <= b->width(), qPrintable(b->text()));
        for (QGroupBox* g : f.findChildren<QGroupBox*>())
            QVERIFY2(g->fontMetrics().horizontalAdvance(g->title()) + 16 <= g->width(), qPrintable(g->title()));

        // Not a tab stop, but a click still focuses it as a push button does.
        QCOMPARE(f.ButtonClrReceiveData->focusPolicy(), Qt::ClickFocus);
    }

    void settingsDefaultsWithoutFile()
    {
        QCOMPARE(Form->LxCommDevice1->fGetPortNo(), 1);
        QCOMPARE(Form->LxCommDevice1->fGetBaud(), KestroComm32::br115200);
        QCOMPARE(Form->LabelPort->text(), QString("当前串口:COM1 波特率: 115200"));
        for (QLineEdit* e : Form->findChildren<QLineEdit*>()) QCOMPARE(e->text(), QString());
    }

    void settingsReadAndWrittenBack()
    {
        WriteFile(IniPath(), "[Main]\nPortNo=3\nBaud=0x6\n[03H]\n485Addr=1\nRegAddr=0\nRegNum=10\n"
                             "[Any]\nValue=01 03 00 00 00 0A\n[10H]\nRegValue=00 0A 01 02\n");
        NewForm();
        QCOMPARE(Form->LabelPort->text(), QString("当前串口:COM3 波特率: 9600"));
        QCOMPARE(Form->Edit03_RegNum->text(), QString("10"));
        QCOMPARE(Form->Edit10_RegValue->text(), QString("00 0A 01 02"));
        QCOMPARE(Form->EditSend->text(), QString("01 03 00 00 00 0A"));

        Form->EditSend->setText("changed");
        Form->Edit06_RegValue->setText(" 7 中");
        Form->LxCommDevice1->fSetPortName("ttyUSB0");
        QVERIFY(Form->close());
        QVERIFY(Errors.isEmpty());
        const QString file = ReadFile(IniPath());
        QVERIFY(file.contains("Value=01 03 00 00 00 0A\n"));
        QVERIFY(!file.contains("changed"));

        // A named port comes back after a restart.
        NewForm();
        QCOMPARE(Form->LxCommDevice1->fGetPortName(), std::string("ttyUSB0"));
        QCOMPARE(Form->LxCommDevice1->fGetPortNo(), 0);
        QCOMPARE(Form->LxCommDevice1->fGetBaud(), KestroComm32::br9600);
        QCOMPARE(Form->Edit06_RegValue->text(), QString(" 7 中"));
        QCOMPARE(Form->EditSend->text(), QString("01 03 00 00 00 0A"));
        QCOMPARE(Form->LabelPort->text(), QString("当前串口:ttyUSB0 波特率: 9600"));
    }

    void settingsAllEditsRoundTrip()
    {
        const QStringList names = {"Edit01_485Addr", "Edit01_RegAddr",  "Edit01_RegNum",   "Edit02_485Addr",
                                   "Edit02_RegAddr", "Edit02_RegNum",   "Edit03_485Addr",  "Edit03_RegAddr",
                                   "Edit03_RegNum",  "Edit04_485Addr",  "Edit04_RegAddr",  "Edit04_RegNum",
                                   "Edit05_485Addr", "Edit05_RegAddr",  "Edit05_RegValue", "Edit06_485Addr",
                                   "Edit06_RegAddr", "Edit06_RegValue", "Edit10_485Addr",  "Edit10_RegAddr",
                                   "Edit10_RegValue"};
        for (const QString& n : names) Form->findChild<QLineEdit*>(n)->setText(n + " =x");
        for (QLineEdit* result : {Form->Edit01_RegValue, Form->Edit02_RegValue, Form->Edit03_RegValue,
                                  Form->Edit04_RegValue, Form->EditSend})
            result->setText("not stored");
        QVERIFY(Form->close());
        NewForm();
        for (const QString& n : names) {
            QCOMPARE(Form->findChild<QLineEdit*>(n)->text(), n + " =x");
            QCOMPARE(Form->findChild<QLineEdit*>(n)->cursorPosition(), 0); // shown from its start
        }
        for (QLineEdit* result : {Form->Edit01_RegValue, Form->Edit02_RegValue, Form->Edit03_RegValue,
                                  Form->Edit04_RegValue, Form->EditSend})
            QCOMPARE(result->text(), QString());
        QVERIFY(Errors.isEmpty());
    }

    void settingsBaudOutOfRange()
    {
        WriteFile(IniPath(), "[Main]\nBaud=20\n");
        NewForm();
        QCOMPARE(Form->LxCommDevice1->fGetBaud(), KestroComm32::br115200);
        WriteFile(IniPath(), "[main]\nbaud=abc\n");
        NewForm();
        QCOMPARE(Form->LxCommDevice1->fGetBaud(), KestroComm32::br115200);
    }

    void settingsWriteFailureKeepsOldFile()
    {
        // The file's place is taken by a folder: it cannot be replaced, whoever runs the test.
        QVERIFY(QDir(Folder->path()).mkpath("modbus_cfg.ini/keep"));
        Form->Edit01_485Addr->setText("1");
        QVERIFY(Form->close());
        QCOMPARE(Errors, QStringList{"Unable to write to " + IniPath()});
        QVERIFY(QFileInfo(IniPath() + "/keep").isDir());
    }

    void closedPort()
    {
        Fill(Form->Edit03_485Addr, Form->Edit03_RegAddr, Form->Edit03_RegNum, "1", "0", "10");
        QTest::mouseClick(Form->ButtonSend_03, Qt::LeftButton);
        QCOMPARE(Form->LabelPort->text(), QString("请首先打开串口!"));
        Form->EditSend->setText("01 03 00 00 00 0A");
        QTest::mouseClick(Form->ButtonSend, Qt::LeftButton);
        QTest::mouseClick(Form->ButtonSendWithCRC, Qt::LeftButton);
        QCOMPARE(Form->MemoSend->toPlainText(), QString());
        QCOMPARE(Form->Edit03_RegValue->text(), QString());
        QVERIFY(Messages.isEmpty() && Errors.isEmpty());
        QCOMPARE(Slave->Replies.load(), 0);
    }

    void missingPortShowsTheLibraryMessage()
    {
        Form->LxCommDevice1->fSetPortName("/nonexistent/ttyBP9");
        QTest::mouseClick(Form->Button4, Qt::LeftButton);
        const std::string expected = KestroComm32::EComm32Error::BuildMessage(
            KestroComm32::ecOpenPort, "/nonexistent/ttyBP9", KestroComm32::GetThreadLocale());
        QCOMPARE(Messages, QStringList{QString::fromStdString(expected)});
        QVERIFY(Form->Button4->isEnabled());
        QVERIFY(!Form->Button6->isEnabled());
        QVERIFY(Errors.isEmpty());
    }

    void badNumberSendsNothing()
    {
        OpenPort();
        Fill(Form->Edit03_485Addr, Form->Edit03_RegAddr, Form->Edit03_RegNum, "abc", "0", "10");
        Form->Edit03_RegValue->setText("old");
        QTest::mouseClick(Form->ButtonSend_03, Qt::LeftButton);
        QCOMPARE(Errors, QStringList{"'abc' is not a valid integer value"});
        QCOMPARE(Form->MemoSend->toPlainText(), QString());
        QCOMPARE(Form->Edit03_RegValue->text(), QString("old"));

        std::string list;
        for (int i = 0; i < 247; ++i) list += "01 ";
        Fill(Form->Edit10_485Addr, Form->Edit10_RegAddr, Form->Edit10_RegValue, "1", "0", list.c_str());
        QTest::mouseClick(Form->ButtonSend_10, Qt::LeftButton);
        QCOMPARE(Errors.size(), 2);
        QCOMPARE(Errors[1], QString::fromUtf8(Busprobe::Str_ValueListTooLong));
        QCOMPARE(Form->MemoSend->toPlainText(), QString());
    }

    void readHoldingRegisters()
    {
        OpenPort();
        Fill(Form->Edit03_485Addr, Form->Edit03_RegAddr, Form->Edit03_RegNum, "1", "0", "10");
        QTest::mouseClick(Form->ButtonSend_03, Qt::LeftButton);
        QCOMPARE(Form->MemoSend->toPlainText(), QString("01 03 00 00 00 0A C5 CD \n"));
        QCOMPARE(Form->Edit03_RegValue->text(), QString(" "));

        std::vector<std::uint8_t> reply{0x01, 0x03, 20};
        QString words;
        for (int i = 0; i < 10; ++i) {
            reply.push_back(0x01);
            reply.push_back(static_cast<std::uint8_t>(i));
            words += QString("01%1 ").arg(i, 2, 16, QChar('0')).toUpper();
        }
        QTRY_COMPARE_WITH_TIMEOUT(Form->MemoReceive->toPlainText(), Line(WithCrc(reply)), ReplyTimeoutMs);
        QCOMPARE(Form->Edit03_RegValue->text(), words);
        // Wider than the edit: the first registers are the ones in sight.
        QVERIFY(Form->Edit03_RegValue->fontMetrics().horizontalAdvance(words) > Form->Edit03_RegValue->width());
        QCOMPARE(Form->Edit03_RegValue->cursorPosition(), 0);
    }

    void readCoilsInputsAndInputRegisters()
    {
        OpenPort();
        // Coils 0-9: on at 0, 3, 6, 9 -> 0x49, 0x02. Inputs 0-9: on at even -> 0x55, 0x01.
        Fill(Form->Edit01_485Addr, Form->Edit01_RegAddr, Form->Edit01_RegNum, "1", "0", "10");
        QTest::mouseClick(Form->ButtonSend_01, Qt::LeftButton);
        QCOMPARE(Form->Edit01_RegValue->text(), QString(" "));
        QTRY_COMPARE_WITH_TIMEOUT(Form->Edit01_RegValue->text(), QString("4902 "), ReplyTimeoutMs);

        Fill(Form->Edit02_485Addr, Form->Edit02_RegAddr, Form->Edit02_RegNum, "1", "$0", "10");
        QTest::mouseClick(Form->ButtonSend_02, Qt::LeftButton);
        QCOMPARE(Form->Edit02_RegValue->text(), QString(" "));
        QTRY_COMPARE_WITH_TIMEOUT(Form->Edit02_RegValue->text(), QString("5501 "), ReplyTimeoutMs);

        Fill(Form->Edit04_485Addr, Form->Edit04_RegAddr, Form->Edit04_RegNum, "1", "0x10", "2");
        QTest::mouseClick(Form->ButtonSend_04, Qt::LeftButton);
        QCOMPARE(Form->Edit04_RegValue->text(), QString(" "));
        QTRY_COMPARE_WITH_TIMEOUT(Form->Edit04_RegValue->text(), QString("0210 0211 "), ReplyTimeoutMs);

        QCOMPARE(Form->MemoSend->toPlainText(), Line(WithCrc({1, 1, 0, 0, 0, 10})) +
                                                    Line(WithCrc({1, 2, 0, 0, 0, 10})) +
                                                    Line(WithCrc({1, 4, 0, 0x10, 0, 2})));
        QCOMPARE(Form->MemoReceive->toPlainText(), Line(WithCrc({1, 1, 2, 0x49, 0x02})) +
                                                       Line(WithCrc({1, 2, 2, 0x55, 0x01})) +
                                                       Line(WithCrc({1, 4, 4, 0x02, 0x10, 0x02, 0x11})));
        QCOMPARE(Form->Edit03_RegValue->text(), QString());
    }

    void writesChangeTheSlave()
    {
        OpenPort();
        Fill(Form->Edit05_485Addr, Form->Edit05_RegAddr, Form->Edit05_RegValue, "1", "1", "$FF00");
        QTest::mouseClick(Form->ButtonSend_05, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Form->MemoReceive->toPlainText(), Line(WithCrc({1, 5, 0, 1, 0xFF, 0})),
                                  ReplyTimeoutMs);
        QVERIFY(Slave->Coil(1));

        Fill(Form->Edit06_485Addr, Form->Edit06_RegAddr, Form->Edit06_RegValue, "1", "1", "3");
        QTest::mouseClick(Form->ButtonSend_06, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Form->MemoReceive->toPlainText().count('\n'), 2, ReplyTimeoutMs);
        QCOMPARE(Slave->HoldingRegister(1), std::uint16_t{3});

        Fill(Form->Edit10_485Addr, Form->Edit10_RegAddr, Form->Edit10_RegValue, "1", "2", "00 0A 01 02");
        QTest::mouseClick(Form->ButtonSend_10, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Form->MemoReceive->toPlainText().count('\n'), 3, ReplyTimeoutMs);
        QCOMPARE(Slave->HoldingRegister(2), std::uint16_t{0x000A});
        QCOMPARE(Slave->HoldingRegister(3), std::uint16_t{0x0102});

        const QString sent = Line(WithCrc({1, 5, 0, 1, 0xFF, 0})) + "01 06 00 01 00 03 98 0B \n" +
                             "01 10 00 02 00 02 04 00 0A 01 02 D2 25 \n";
        QCOMPARE(Form->MemoSend->toPlainText(), sent);
        // The echoes decode into nothing.
        QCOMPARE(Form->MemoReceive->toPlainText(),
                 sent.left(sent.indexOf("01 10")) + Line(WithCrc({1, 0x10, 0, 2, 0, 2})));
        for (QLineEdit* e :
             {Form->Edit01_RegValue, Form->Edit02_RegValue, Form->Edit03_RegValue, Form->Edit04_RegValue})
            QCOMPARE(e->text(), QString());
    }

    void freeFormWithAndWithoutCrc()
    {
        OpenPort();
        Form->EditSend->setText("01 03 00 05 00 01");
        QTest::mouseClick(Form->ButtonSendWithCRC, Qt::LeftButton);
        QCOMPARE(Form->MemoSend->toPlainText(), Line(WithCrc({1, 3, 0, 5, 0, 1})));
        // Decoded into the 03H group by the reply's function code alone.
        QTRY_COMPARE_WITH_TIMEOUT(Form->Edit03_RegValue->text(), QString("0105 "), ReplyTimeoutMs);

        const QString typedWithCrc = Line(WithCrc({1, 4, 0, 7, 0, 1})).trimmed();
        Form->EditSend->setText(typedWithCrc);
        QTest::mouseClick(Form->ButtonSend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Form->Edit04_RegValue->text(), QString("0207 "), ReplyTimeoutMs);
        QCOMPARE(Form->MemoSend->toPlainText(), Line(WithCrc({1, 3, 0, 5, 0, 1})) + typedWithCrc + " \n");

        // Nothing typed: an empty block and an empty log line.
        Form->EditSend->setText("");
        QTest::mouseClick(Form->ButtonSend, Qt::LeftButton);
        QVERIFY(Form->MemoSend->toPlainText().endsWith(" \n\n"));
    }

    void exceptionReplyChangesNoField()
    {
        OpenPort();
        Form->Edit03_RegValue->setText("kept");
        Form->EditSend->setText("01 03 00 C8 00 01");
        QTest::mouseClick(Form->ButtonSendWithCRC, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Form->MemoReceive->toPlainText(), QString("01 83 02 C0 F1 \n"), ReplyTimeoutMs);
        QCOMPARE(Form->Edit03_RegValue->text(), QString("kept"));
    }

    void twoRepliesApartMakeTwoLines()
    {
        OpenPort();
        // Both requests leave at once; the slave answers the first, and the second 50 ms after it is let go.
        Slave->HoldAfter(1);
        Slave->ReplyDelayMs = 50;
        Fill(Form->Edit03_485Addr, Form->Edit03_RegAddr, Form->Edit03_RegNum, "1", "0", "1");
        Fill(Form->Edit04_485Addr, Form->Edit04_RegAddr, Form->Edit04_RegNum, "1", "0", "1");
        QTest::mouseClick(Form->ButtonSend_03, Qt::LeftButton);
        QTest::mouseClick(Form->ButtonSend_04, Qt::LeftButton);
        const QString first = Line(WithCrc({1, 3, 2, 1, 0}));
        QTRY_COMPARE_WITH_TIMEOUT(Form->MemoReceive->toPlainText(), first, ReplyTimeoutMs);
        QCOMPARE(Form->Edit04_RegValue->text(), QString(" "));
        Slave->Release();
        QTRY_COMPARE_WITH_TIMEOUT(Form->MemoReceive->toPlainText(), first + Line(WithCrc({1, 4, 2, 2, 0})),
                                  ReplyTimeoutMs);
        QCOMPARE(Form->Edit03_RegValue->text(), QString("0100 "));
        QCOMPARE(Form->Edit04_RegValue->text(), QString("0200 "));
    }

    void settingsDialogOkOpensThePortAndTheButtonsFollow()
    {
        Form->LxCommDevice1->fSetPortNo(ComNumber);
        Fill(Form->Edit03_485Addr, Form->Edit03_RegAddr, Form->Edit03_RegNum, "1", "0", "1");
        QTest::mouseClick(Form->ButtonSend_03, Qt::LeftButton);
        QCOMPARE(Form->LabelPort->text(), QString("请首先打开串口!"));

        // Cancel changes nothing on the device but refreshes the label.
        WithSettingsDialog(
            [](KestroComm32::TForm_LxCommDevice_Settings* d) { QTest::mouseClick(d->BnCancel, Qt::LeftButton); });
        QCOMPARE(Form->LabelPort->text(), QString("当前串口:COM5 波特率: 115200"));
        QVERIFY(!Form->LxCommDevice1->fGetActive());
        QVERIFY(Form->Button4->isEnabled());

        WithSettingsDialog([](KestroComm32::TForm_LxCommDevice_Settings* d) {
            d->CbSelBaud->setCurrentText("9600");
            QTest::mouseClick(d->BnOK, Qt::LeftButton);
        });
        QVERIFY2(Messages.isEmpty(), qPrintable(Messages.join('|')));
        QVERIFY(Form->LxCommDevice1->fGetActive());
        QVERIFY(!Form->Button4->isEnabled());
        QVERIFY(Form->Button6->isEnabled());
        QCOMPARE(Form->LabelPort->text(), QString("当前串口:COM5 波特率: 9600"));

        QTest::mouseClick(Form->ButtonSend_03, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(Form->Edit03_RegValue->text(), QString("0100 "), ReplyTimeoutMs);
        QTest::mouseClick(Form->Button6, Qt::LeftButton);
        QVERIFY(!Form->LxCommDevice1->fGetActive());
    }

    void speedOutsideTheTableIsSavedAsIndex12()
    {
        Form->LxCommDevice1->fSetPortNo(ComNumber);
        WithSettingsDialog([](KestroComm32::TForm_LxCommDevice_Settings* d) {
            d->CbSelBaud->setCurrentText("250000");
            QTest::mouseClick(d->BnOK, Qt::LeftButton);
        });
        QVERIFY2(Messages.isEmpty(), qPrintable(Messages.join('|')));
        QCOMPARE(Form->LxCommDevice1->fGetBaud(), KestroComm32::br115200);
        QCOMPARE(Form->LabelPort->text(), QString("当前串口:COM5 波特率: 115200"));
        QVERIFY(Form->close());
        QVERIFY(ReadFile(IniPath()).contains("[Main]\nPortNo=5\nBaud=12\n"));
    }

    void undoKeepsLoggedLines()
    {
        OpenPort();
        Form->EditSend->setText("01 03 00 00 00 01");
        QTest::mouseClick(Form->ButtonSendWithCRC, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!Form->MemoReceive->toPlainText().isEmpty(), ReplyTimeoutMs);
        const std::uint8_t reply[] = {0x01, 0x03, 0x02, 0x00, 0x64, 0xB9, 0xAF};
        Form->ShowReceiveData(reply, sizeof reply);
        const QString received = Form->MemoReceive->toPlainText();
        const QString sent = Form->MemoSend->toPlainText();
        QCOMPARE(received.count(QLatin1Char('\n')), 2);
        QCOMPARE(sent.count(QLatin1Char('\n')), 1);
        for (QPlainTextEdit* memo : {Form->MemoReceive, Form->MemoSend}) {
            memo->setFocus();
            QTest::keyClick(memo, Qt::Key_Z, Qt::ControlModifier);
            memo->undo();
        }
        QCOMPARE(Form->MemoReceive->toPlainText(), received);
        QCOMPARE(Form->MemoSend->toPlainText(), sent);
    }

    void clearButtonsAndClosing()
    {
        OpenPort();
        Form->EditSend->setText("01 03 00 00 00 01");
        QTest::mouseClick(Form->ButtonSendWithCRC, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!Form->MemoReceive->toPlainText().isEmpty(), ReplyTimeoutMs);
        QTest::mouseClick(Form->ButtonClrSendData, Qt::LeftButton);
        QCOMPARE(Form->MemoSend->toPlainText(), QString());
        QVERIFY(!Form->MemoReceive->toPlainText().isEmpty());
        QTest::mouseClick(Form->ButtonClrReceiveData, Qt::LeftButton);
        QCOMPARE(Form->MemoReceive->toPlainText(), QString());

        QTest::mouseClick(Form->Button6, Qt::LeftButton);
        QVERIFY(!Form->LxCommDevice1->fGetActive());
        QVERIFY(Form->Button4->isEnabled());
        QVERIFY(!Form->Button6->isEnabled());
        QTest::mouseClick(Form->ButtonSend_03, Qt::LeftButton);
        QCOMPARE(Form->LabelPort->text(), QString("请首先打开串口!"));
        QCOMPARE(Form->MemoSend->toPlainText(), QString());
    }
};

QTEST_MAIN(TestMainForm)
#include "test_mainform.moc"
