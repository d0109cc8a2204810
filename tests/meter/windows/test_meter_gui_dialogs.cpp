// Offscreen tests of Ormet-Master's dialogs, the numeric display and the main window without a meter.
#include <QClipboard>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <atomic>
#include <functional>
#include <thread>

#include "comsetdlg.h"
#include "dialog_rules.h"
#include "dlgparameterset.h"
#include "dlgparametersetin.h"
#include "dlgpassword.h"
#include "meter_gui_driver.h"
#include "message_box.h"
#include "ormetmasterdlg.h"

namespace {
struct Box {
    QString text, title;
    QMessageBox::Icon icon;
};

template <class T>
T* Child(QWidget* parent, int id)
{
    return parent->findChild<T*>(QString::number(id));
}

void Click(QWidget* dlg, int id) { Child<QPushButton>(dlg, id)->click(); }

MeasurementData Measurement(std::initializer_list<std::pair<int, std::uint16_t>> regs)
{
    MeasurementData d{};
    for (auto [n, v] : regs) {
        d[2 * n] = static_cast<std::uint8_t>(v >> 8);
        d[2 * n + 1] = static_cast<std::uint8_t>(v & 0xFF);
    }
    return d;
}
} // namespace

class TestMeterDialogs : public QObject {
    Q_OBJECT
    std::vector<Box> boxes;

    QString Range(int lo, int hi) { return QString::fromStdString(RangeMessage(lo, hi)); }
    void ExpectOneBox(const QString& text)
    {
        QCOMPARE(boxes.size(), std::size_t(1));
        QCOMPARE(boxes[0].text, text);
        QCOMPARE(boxes[0].title, QStringLiteral("Ormet-Master"));
        QCOMPARE(boxes[0].icon, QMessageBox::Warning);
        boxes.clear();
    }
    // A parameter dialog filled as from a meter with sound registers.
    void FillParameters(CDlgParameterSet& dlg)
    {
        dlg.m_nVoltageStd = 220;
        dlg.m_nCurrentStd = 5000;
        dlg.m_nPowerStd = 1100;
        dlg.m_nCurrentRatio = 1;
        dlg.m_nAddress = 1;
        dlg.m_nAlarm = 2300;
    }
    void FillInner(CDlgParameterSetIn& dlg)
    {
        dlg.m_strVoltageCal = "00014A21";
        dlg.m_strCurrentCal = "00021C80";
        dlg.m_strPowerCal = "00007D10";
        dlg.m_strEnergyCal = "0C35";
        dlg.m_strEnergyConst = "00008000";
        dlg.m_strPulseThreshold = "00000400";
        dlg.m_strStartThreshold = "00000010";
        dlg.m_strModuleNumber = "123456789ABC";
        dlg.m_strPulseRate = "0005";
        dlg.m_strAngleCorrection = "0003";
        dlg.m_strPowerCompensation = "00000000";
        dlg.m_strCurrentCompensation = "0000ABCD";
    }

private slots:
    void init()
    {
        boxes.clear();
        KestroComm32::SetMessageBoxHook(
            [this](QWidget*, const QString& text, const QString& title, QMessageBox::Icon icon) {
                boxes.push_back({text, title, icon});
                return true;
            });
    }
    void cleanup() { KestroComm32::SetMessageBoxHook(nullptr); }

    void dialogUnitsFollowTheFont()
    {
        const CDialogUnits du(DialogFont("Times New Roman", 12));
        QVERIFY(du.BaseX() >= 5 && du.BaseX() <= 12);
        QVERIFY(du.BaseY() >= 14 && du.BaseY() <= 24);
        // Each edge is converted on its own, so neighbouring controls share their edge exactly.
        QCOMPARE(du.Rect(10, 10, 20, 8).right() + 1, du.Rect(30, 10, 20, 8).left());
        QCOMPARE(du.Rect(4, 8, 4, 8), QRect(du.BaseX(), du.BaseY(), du.BaseX(), du.BaseY()));
    }

    void integerParsing()
    {
        QCOMPARE(ParseDialogInt("247").value(), 247);
        QCOMPARE(ParseDialogInt("  -12 ").value(), -12);
        QCOMPARE(ParseDialogInt("+7").value(), 7);
        QVERIFY(!ParseDialogInt(""));
        QVERIFY(!ParseDialogInt("  "));
        QVERIFY(!ParseDialogInt("12a"));
        QVERIFY(!ParseDialogInt("1 2"));
        QVERIFY(!ParseDialogInt("0x10"));
        QVERIFY(!ParseDialogInt("-"));
        // Huge numbers stay huge instead of wrapping into a range.
        QCOMPARE(ParseDialogInt("4294967297").value(), 2147483647LL);
        QCOMPARE(ParseDialogInt("-99999999999999999999999").value(), -2147483648LL);
    }

    void comSetPreselectsAndReturnsPort()
    {
        CComSetDlg dlg;
        dlg.m_nPort = 3;
        dlg.m_nBaud = 9600;
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("通信设置"));
        auto* port = Child<QComboBox>(&dlg, 1004);
        auto* baud = Child<QComboBox>(&dlg, 1005);
        QCOMPARE(port->count(), 12);
        QCOMPARE(port->itemText(0), QStringLiteral("COM1"));
        QCOMPARE(port->itemText(11), QStringLiteral("COM12"));
        QCOMPARE(port->currentText(), QStringLiteral("COM3"));
        QCOMPARE(baud->currentText(), QStringLiteral("9600"));
        QStringList rates;
        for (int i = 0; i < baud->count(); ++i) rates << baud->itemText(i);
        QCOMPARE(rates, QStringList({"9600", "4800", "2400", "1200"}));
        QVERIFY(!baud->isEnabled());
        QCOMPARE(Child<QLabel>(&dlg, 1034)->text(), QStringLiteral("串口号:"));
        QVERIFY(Child<QPushButton>(&dlg, 1)->isDefault());

        port->setCurrentIndex(11);
        Click(&dlg, 1);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(int(dlg.m_nPort), 12);
        QCOMPARE(int(dlg.m_nBaud), 9600);
        QVERIFY(boxes.empty());
    }

    void comSetCancelKeepsPort()
    {
        CComSetDlg dlg;
        dlg.m_nPort = 5;
        dlg.show();
        Child<QComboBox>(&dlg, 1004)->setCurrentIndex(0);
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QCOMPARE(int(dlg.m_nPort), 5);
    }

    void parameterAddressRange()
    {
        CDlgParameterSet dlg;
        FillParameters(dlg);
        dlg.show();
        auto* address = Child<QLineEdit>(&dlg, 1010);
        for (const char* bad : {"0", "248"}) {
            address->setText(bad);
            Click(&dlg, 1);
            ExpectOneBox(Range(1, 247));
            QVERIFY(dlg.isVisible());
            QCOMPARE(dlg.focusWidget(), address);
            QCOMPARE(address->selectedText(), QString::fromLatin1(bad));
        }
        address->setText("x1");
        Click(&dlg, 1);
        ExpectOneBox(QString::fromUtf8(MsgNotInteger));
        address->setText("247");
        Click(&dlg, 1);
        QVERIFY(boxes.empty());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.m_nAddress, 247);
        QCOMPARE(dlg.m_nAlarm, 2300);
        QCOMPARE(dlg.m_nCurrentRatio, 1);
    }

    void parameterAlarmRange()
    {
        CDlgParameterSet dlg;
        FillParameters(dlg);
        dlg.show();
        auto* alarm = Child<QLineEdit>(&dlg, 1012);
        alarm->setText("50001");
        Click(&dlg, 1);
        ExpectOneBox(Range(1, 50000));
        QCOMPARE(dlg.focusWidget(), alarm);
        alarm->setText("50000");
        Click(&dlg, 1);
        QVERIFY(boxes.empty());
        QCOMPARE(dlg.m_nAlarm, 50000);
    }

    void parameterFieldsAndOrder()
    {
        CDlgParameterSet dlg;
        FillParameters(dlg);
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("参数设置"));
        QCOMPARE(Child<QLineEdit>(&dlg, 1006)->text(), QStringLiteral("220"));
        QCOMPARE(Child<QLineEdit>(&dlg, 1008)->text(), QStringLiteral("1100"));
        for (int id : {1006, 1007, 1008}) QVERIFY(Child<QLineEdit>(&dlg, id)->isReadOnly());
        for (int id : {1010, 1012}) QVERIFY(!Child<QLineEdit>(&dlg, id)->isReadOnly());
        QVERIFY(!Child<QLineEdit>(&dlg, 1009)->isVisible());
        QVERIFY(!Child<QLabel>(&dlg, 1036)->isVisible());
        auto* baud = Child<QComboBox>(&dlg, 1011);
        QVERIFY(!baud->isEnabled());
        QCOMPARE(baud->count(), 0);
        // With every field out of range, OK names them one at a time: 1006, 1007, 1008, 1012, 1009, 1010.
        const struct {
            int id;
            int lower, upper;
        } order[] = {{1006, 80, 260},  {1007, 1000, 10000}, {1008, 100, 5000},
                     {1012, 1, 50000}, {1009, 1, 100},      {1010, 1, 247}};
        for (const auto& f : order) Child<QLineEdit>(&dlg, f.id)->setText("0");
        for (const auto& f : order) {
            Click(&dlg, 1);
            ExpectOneBox(Range(f.lower, f.upper));
            QVERIFY(dlg.isVisible());
            Child<QLineEdit>(&dlg, f.id)->setText(QString::number(f.lower));
        }
        Click(&dlg, 1);
        QVERIFY(boxes.empty());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }

    void parameterReadOnlyValuesBlockOk()
    {
        CDlgParameterSet dlg;
        FillParameters(dlg);
        dlg.m_nVoltageStd = 0;
        dlg.m_nAddress = 0; // also wrong, but the voltage comes first
        dlg.show();
        Click(&dlg, 1);
        ExpectOneBox(Range(80, 260));
        QCOMPARE(dlg.focusWidget(), Child<QLineEdit>(&dlg, 1006));
        QVERIFY(dlg.isVisible());
    }

    void parameterHiddenRatioBlocksOk()
    {
        CDlgParameterSet dlg;
        FillParameters(dlg);
        dlg.m_nCurrentRatio = 0;
        dlg.show();
        Click(&dlg, 1);
        ExpectOneBox(Range(1, 100));
        Click(&dlg, 1);
        ExpectOneBox(Range(1, 100));
        QVERIFY(dlg.isVisible());
        Click(&dlg, 2);
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QVERIFY(boxes.empty());
    }

    void innerShowsTextsWithLimits()
    {
        CDlgParameterSetIn dlg;
        FillInner(dlg);
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("内部参数设置"));
        const std::pair<int, int> limits[] = {{1012, 8}, {1015, 4}, {1018, 8}, {1019, 12},
                                              {1020, 4}, {1021, 4}, {1022, 8}, {1023, 8}};
        for (auto [id, limit] : limits) QCOMPARE(dlg.Edit(id)->maxLength(), limit);
        for (int id = 1012; id <= 1018; ++id) QVERIFY(dlg.Edit(id)->isReadOnly());
        for (int id = 1019; id <= 1023; ++id) QVERIFY(!dlg.Edit(id)->isReadOnly());
        QCOMPARE(dlg.Edit(1012)->text(), QStringLiteral("00014A21"));
        QCOMPARE(dlg.Edit(1019)->text(), QStringLiteral("123456789ABC"));
        QCOMPARE(dlg.Edit(1023)->text(), QStringLiteral("0000ABCD"));
        dlg.Edit(1022)->setText("1234abcd");
        Click(&dlg, 1);
        QVERIFY(boxes.empty());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.m_strPowerCompensation, QStringLiteral("1234abcd"));
        QCOMPARE(dlg.m_strModuleNumber, QStringLiteral("123456789ABC"));
    }

    void innerDigitsOnlyEdits()
    {
        CDlgParameterSetIn dlg;
        FillInner(dlg);
        dlg.m_strPulseRate = "00A5";
        dlg.show();
        QCOMPARE(dlg.Edit(1020)->text(), QStringLiteral("00A5")); // texts read keep their letters
        for (int id : {1019, 1020, 1021}) {
            QLineEdit* e = dlg.Edit(id);
            e->clear();
            QTest::keyClicks(e, "1aF2 -3");
            QCOMPARE(e->text(), QStringLiteral("123"));
        }
        QLineEdit* free = dlg.Edit(1022);
        free->clear();
        QTest::keyClicks(free, "1aF2");
        QCOMPARE(free->text(), QStringLiteral("1aF2"));
    }

    void innerDigitsOnlyByEveryInputPath()
    {
        CDlgParameterSetIn dlg;
        FillInner(dlg);
        dlg.m_strPulseRate = "00A5";
        dlg.show();
        const std::pair<const char*, std::function<void(QLineEdit*, const QString&)>> paths[] = {
            {"input method",
             [](QLineEdit* e, const QString& text) {
                 QInputMethodEvent event(QString(), {});
                 event.setCommitString(text);
                 QApplication::sendEvent(e, &event);
             }},
            {"paste",
             [](QLineEdit* e, const QString& text) {
                 QGuiApplication::clipboard()->setText(text);
                 e->paste();
             }},
            {"Ctrl+V",
             [](QLineEdit* e, const QString& text) {
                 QGuiApplication::clipboard()->setText(text);
                 QTest::keyClick(e, Qt::Key_V, Qt::ControlModifier);
             }},
        };
        // A text read keeps its letters and stays editable; no letter is added to it.
        QLineEdit* rate = dlg.Edit(1020);
        QCOMPARE(rate->text(), QStringLiteral("00A5"));
        rate->setFocus();
        rate->end(false);
        rate->backspace();
        QCOMPARE(rate->text(), QStringLiteral("00A"));
        for (const auto& [name, enter] : paths) {
            for (const char* refused : {"B", "A"}) {
                rate->end(false);
                enter(rate, refused);
                QVERIFY2(rate->text() == "00A", name);
            }
        }
        rate->end(false);
        rate->backspace();
        QTest::keyClicks(rate, "1b5");
        QCOMPARE(rate->text(), QStringLiteral("0015"));
        for (int id : {1019, 1020, 1021}) {
            QLineEdit* e = dlg.Edit(id);
            for (const auto& [name, enter] : paths) {
                const QByteArray where = QByteArray::number(id) + " " + name;
                e->clear();
                enter(e, "12");
                QVERIFY2(e->text() == "12", where);
                for (const char* refused : {"a", "3F", " 3", "-", "\xD9\xA3" /* Arabic-Indic three */}) {
                    enter(e, QString::fromUtf8(refused));
                    QVERIFY2(e->text() == "12", where + " " + refused);
                }
            }
        }
    }

    void innerRefusesTextsTheConversionCannotTake()
    {
        CDlgParameterSetIn dlg;
        FillInner(dlg);
        dlg.show();
        dlg.Edit(1019)->setText("12345");
        dlg.Edit(1023)->setText("0000ABCG");
        Click(&dlg, 1);
        ExpectOneBox(QString::fromStdString(HexDigitsMessage(12)));
        QCOMPARE(dlg.focusWidget(), dlg.Edit(1019));
        QVERIFY(dlg.isVisible());
        dlg.Edit(1019)->setText("000000000001");
        Click(&dlg, 1);
        ExpectOneBox(QString::fromStdString(HexDigitsMessage(8)));
        QCOMPARE(dlg.focusWidget(), dlg.Edit(1023));
        dlg.Edit(1023)->setText("0000abcd");
        Click(&dlg, 1);
        QVERIFY(boxes.empty());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }

    void innerLengthCheckedInOrder()
    {
        CDlgParameterSetIn dlg;
        FillInner(dlg);
        dlg.show();
        // Typing cannot exceed a limit; a wider edit shows the check behind it, pulse rate first.
        dlg.Edit(1019)->setMaxLength(20);
        dlg.Edit(1019)->setText("1234567890ABC");
        dlg.Edit(1020)->setMaxLength(20);
        dlg.Edit(1020)->setText("00005");
        Click(&dlg, 1);
        ExpectOneBox(QString::fromStdString(MaxCharsMessage(4)));
        QCOMPARE(dlg.focusWidget(), dlg.Edit(1020));
        dlg.Edit(1020)->setText("0005");
        Click(&dlg, 1);
        ExpectOneBox(QString::fromStdString(MaxCharsMessage(12)));
    }

    void passwordRules()
    {
        CDlgPassword dlg;
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("校准密码"));
        QLineEdit* edit = dlg.m_EditPassword;
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        QCOMPARE(edit->maxLength(), 10);
        Click(&dlg, 1); // empty: nothing at all
        QVERIFY(boxes.empty());
        QVERIFY(dlg.isVisible());
        for (const char* wrong : {"KVRA572/8 ", "kvra572/8", "KVRA572/", "KVRA572/80"}) {
            edit->setText(wrong);
            Click(&dlg, 1);
            QCOMPARE(boxes.size(), std::size_t(1));
            QCOMPARE(boxes[0].text, QStringLiteral("密码错误"));
            QCOMPARE(boxes[0].title, QStringLiteral("错误"));
            QCOMPARE(boxes[0].icon, QMessageBox::Critical);
            boxes.clear();
            QVERIFY(edit->text().isEmpty());
            QVERIFY(dlg.m_strPassword.isEmpty());
            QVERIFY(dlg.isVisible());
        }
        edit->setText("KVRA572/8");
        Click(&dlg, 1);
        QVERIFY(boxes.empty());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }

    void passwordRealMessageBoxClosedByTimer()
    {
        KestroComm32::SetMessageBoxHook(nullptr);
        CDlgPassword dlg;
        ModalDriver driver;
        int tries = 0;
        driver.onDialog = [&](QWidget* w) {
            QVERIFY(w == &dlg);
            ++tries;
            dlg.m_EditPassword->setText("wrong");
            Click(&dlg, 1); // opens the real box; the driver answers it
            dlg.m_EditPassword->setText("KVRA572/8");
            Click(&dlg, 1);
        };
        QCOMPARE(dlg.exec(), int(QDialog::Accepted));
        QCOMPARE(tries, 1);
        QCOMPARE(driver.Texts(), QStringList{"密码错误"});
        QCOMPARE(driver.messages[0].title, QStringLiteral("错误"));
    }

    void displayInitialPropertiesAndAccessibleText()
    {
        COrmetMasterDlg dlg;
        CAnalogDisplay* current = dlg.m_Current.Control();
        QCOMPARE(current->objectName(), QStringLiteral("1001"));
        QCOMPARE(current->Precision(), 3);
        QCOMPARE(current->UnitsText(), QStringLiteral("A"));
        QCOMPARE(current->FontColor(), 0x00FFFF00u);
        QCOMPARE(current->BackGroundColor(), 0x00696969u);
        QCOMPARE(current->font().pixelSize(), 35);
        QCOMPARE(CAnalogDisplay::ColorFromBgr(0x00FFFF00), QColor(0, 255, 255));
        QCOMPARE(dlg.m_Energy.Control()->Text(), QStringLiteral("0 Wh"));
        QCOMPARE(dlg.m_PowerFactor.Control()->Text(), QStringLiteral("0.00"));
        dlg.m_Current.SetValue(70.196);
        QCOMPARE(current->Text(), QStringLiteral("70.196 A"));
        QCOMPARE(current->accessibleName(), QStringLiteral("70.196 A"));
        dlg.m_Current.SetUnitsText("mA");
        dlg.m_Current.SetPrecision(0);
        QCOMPARE(current->accessibleName(), QStringLiteral("70 mA"));
    }

    void displayShowsWideReadingsWhole()
    {
        COrmetMasterDlg dlg;
        dlg.show();
        // Bounding box of the text pixels (aqua or red on grey); empty if none.
        auto ink = [](CAnalogDisplay* d) {
            const QImage img = d->grab().toImage();
            QRect box;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x) {
                    const QColor c = img.pixelColor(x, y);
                    if (std::abs(c.red() - c.blue()) > 60) box |= QRect(x, y, 1, 1);
                }
            return box;
        };
        // The same reading in a display wide enough for it at full size.
        auto reference = [&](CAnalogDisplay* d) {
            CAnalogDisplay wide;
            wide.resize(2000, d->height());
            wide.SetPrecision(d->Precision());
            wide.SetUnitsText(d->UnitsText());
            wide.SetValue(d->Value());
            return ink(&wide);
        };
        // Every register at its top: the widest readings the meter can produce.
        dlg.UpdateDisplays(Measurement({{0, 0xFFFF},
                                        {1, 0xFFFF},
                                        {2, 0xFFFF},
                                        {3, 0xFFFF},
                                        {4, 0xFFFF},
                                        {5, 0xFFFF},
                                        {6, 0xFFFF},
                                        {7, 0xFFFF},
                                        {8, 0xFFFF},
                                        {9, 0xFFFF}}));
        QCOMPARE(dlg.m_Energy.Control()->Text(), QStringLiteral("4294967.29 kWh"));
        for (CIanalogdisplayx* d :
             {&dlg.m_Voltage, &dlg.m_Current, &dlg.m_Power, &dlg.m_Energy, &dlg.m_Frequency, &dlg.m_PowerFactor}) {
            // Drawn smaller if need be, but whole: no digit cut off, so the ink keeps its proportions.
            const QRect shown = ink(d->Control()), whole = reference(d->Control());
            QVERIFY(!shown.isEmpty() && !whole.isEmpty());
            const double ratio = (double(shown.width()) / shown.height()) / (double(whole.width()) / whole.height());
            QVERIFY2(ratio > 0.96 && shown.height() <= whole.height() + 1,
                     qPrintable(QStringLiteral("%1: %2x%3 shown, %4x%5 whole")
                                    .arg(d->Control()->Text())
                                    .arg(shown.width())
                                    .arg(shown.height())
                                    .arg(whole.width())
                                    .arg(whole.height())));
        }
        // A reading that fits keeps the full 35-pixel digits.
        dlg.m_Energy.SetValue(12.35);
        QCOMPARE(dlg.m_Energy.Control()->font().pixelSize(), 35);
        QCOMPARE(ink(dlg.m_Energy.Control()),
                 reference(dlg.m_Energy.Control())
                     .translated(ink(dlg.m_Energy.Control()).right() - reference(dlg.m_Energy.Control()).right(), 0));
    }

    void displayPutFromWorkerWaitsForTheWindow()
    {
        COrmetMasterDlg dlg;
        std::atomic<bool> done{false};
        std::atomic<int> seenPrecision{-1};
        std::thread worker([&] {
            dlg.m_Power.SetPrecision(0);
            dlg.m_Power.SetValue(1234);
            // The puts have run on the window's thread by the time they return.
            seenPrecision = dlg.m_Power.Control()->Precision();
            done = true;
        });
        QVERIFY(QTest::qWaitFor([&] { return done.load(); }, 5000));
        worker.join();
        QCOMPARE(seenPrecision.load(), 0);
        QCOMPARE(dlg.m_Power.Control()->Text(), QStringLiteral("1234 W"));
    }

    void displayRules()
    {
        COrmetMasterDlg dlg;
        auto text = [](CIanalogdisplayx& d) { return d.Control()->Text(); };
        dlg.UpdateDisplays(
            Measurement({{0, 2301}, {1, 0x1234}, {2, 1}, {3, 9999}, {5, 9999}, {7, 501}, {8, 95}, {9, 0xFFFE}}));
        QCOMPARE(text(dlg.m_Voltage), QStringLiteral("230.1 V"));
        QCOMPARE(text(dlg.m_Current), QStringLiteral("70.196 A"));
        QCOMPARE(text(dlg.m_Power), QStringLiteral("999.9 W"));
        QCOMPARE(dlg.m_Power.Control()->Precision(), 1);
        QCOMPARE(dlg.m_Power.Control()->FontColor(), 0x00FFFF00u);
        QCOMPARE(text(dlg.m_Energy), QStringLiteral("9999 Wh"));
        QCOMPARE(text(dlg.m_Frequency), QStringLiteral("50.1 Hz"));
        QCOMPARE(text(dlg.m_PowerFactor), QStringLiteral("0.95"));

        dlg.UpdateDisplays(Measurement({{3, 10000}, {5, 10000}, {9, 0xFFFF}}));
        QCOMPARE(text(dlg.m_Power), QStringLiteral("1000 W"));
        QCOMPARE(dlg.m_Power.Control()->Precision(), 0);
        QCOMPARE(dlg.m_Power.Control()->FontColor(), 0x000000FFu);
        QCOMPARE(text(dlg.m_Energy), QStringLiteral("10.00 kWh"));

        dlg.UpdateDisplays(Measurement({{3, 12345}, {4, 0}, {5, 0x86A0}, {6, 1}, {9, 0}}));
        QCOMPARE(text(dlg.m_Power), QStringLiteral("1234 W"));
        QCOMPARE(dlg.m_Power.Control()->FontColor(), 0x00FFFF00u);
        QCOMPARE(text(dlg.m_Energy), QStringLiteral("100.00 kWh"));

        // 32-bit power beyond 16 bits, unsigned: 0x0001E240 = 123456 -> 12345 W.
        dlg.UpdateDisplays(Measurement({{3, 0xE240}, {4, 1}}));
        QCOMPARE(text(dlg.m_Power), QStringLiteral("12345 W"));
        QCOMPARE(dlg.m_Power.Control()->accessibleName(), QStringLiteral("12345 W"));
    }

    void mainWindowStartsLocked()
    {
        COrmetMasterDlg dlg;
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Ormet上位机 - Tavisto"));
        const std::pair<int, const char*> buttons[] = {{1003, "通信设置"}, {1002, "开始测量"}, {3, "清零电量"},
                                                       {4, "参数设置"},    {6, "校准"},        {7, "系数设置"},
                                                       {2, "退出"}};
        for (auto [id, caption] : buttons) QCOMPARE(Child<QPushButton>(&dlg, id)->text(), QString::fromUtf8(caption));
        for (int id : {1003, 2}) QVERIFY(Child<QPushButton>(&dlg, id)->isEnabled());
        for (int id : {1002, 3, 4, 6, 7}) QVERIFY(!Child<QPushButton>(&dlg, id)->isEnabled());
        QVERIFY(!Child<QPushButton>(&dlg, 7)->isVisible());
        QCOMPARE(int(dlg.Port()), 1);
        QCOMPARE(int(dlg.Baud()), 9600);
        for (int id : {1000, 1001, 1004, 1005, 1006, 1007}) QVERIFY(Child<CAnalogDisplay>(&dlg, id));
    }

    void comSetConfirmUnlocksAndCancelChangesNothing()
    {
        KestroComm32::SetMessageBoxHook(nullptr);
        COrmetMasterDlg dlg;
        dlg.show();
        ModalDriver driver;
        bool confirm = false;
        driver.onDialog = [&](QWidget* w) {
            auto* com = qobject_cast<CComSetDlg*>(w);
            QVERIFY(com);
            QCOMPARE(Child<QComboBox>(com, 1004)->currentText(), QStringLiteral("COM1"));
            Child<QComboBox>(com, 1004)->setCurrentIndex(11);
            Click(com, confirm ? 1 : 2);
        };
        Click(&dlg, 1003);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Ormet上位机 - Tavisto"));
        QVERIFY(!Child<QPushButton>(&dlg, 1002)->isEnabled());
        confirm = true;
        Click(&dlg, 1003);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Ormet上位机 - Tavisto  COM12, 9600"));
        for (int id : {1003, 1002, 3, 4, 6, 7, 2}) QVERIFY(Child<QPushButton>(&dlg, id)->isEnabled());
        QVERIFY(!Child<QPushButton>(&dlg, 7)->isVisible());
        QVERIFY(driver.messages.empty());
    }

    void cancelledPasswordStartsNothing()
    {
        KestroComm32::SetMessageBoxHook(nullptr);
        COrmetMasterDlg dlg;
        dlg.show();
        ModalDriver driver;
        driver.onDialog = [&](QWidget* w) {
            if (auto* com = qobject_cast<CComSetDlg*>(w)) Click(com, 1);
            if (auto* pw = qobject_cast<CDlgPassword*>(w)) {
                pw->m_EditPassword->setText("KVRA572/8");
                Click(pw, 2);
            }
        };
        Click(&dlg, 1003);
        Click(&dlg, 6);
        QVERIFY(!dlg.IsWorkerRunning());
        for (int id : {1003, 1002, 3, 4, 6, 2}) QVERIFY(Child<QPushButton>(&dlg, id)->isEnabled());
        QVERIFY(driver.messages.empty());
    }
};

QTEST_MAIN(TestMeterDialogs)
#include "test_meter_gui_dialogs.moc"
