// busprobe's box for a port that will not open: the library's message, and why in plain words below it.
#include "comm32_error.h"
#include "comm32_reason.h"
#include "lxcommdevice.h"
#include "mainform.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace KestroComm32;

class TestOpenFailureBox : public QObject {
    Q_OBJECT

private slots:
    // COM7 of the port map points at an adapter that is not there.
    void DanglingAliasShowsMessageAndExplanation_data()
    {
        QTest::addColumn<qulonglong>("lcid");
        QTest::newRow("English") << qulonglong(1033);
        QTest::newRow("Simplified Chinese") << qulonglong(2052);
    }
    void DanglingAliasShowsMessageAndExplanation()
    {
        QFETCH(qulonglong, lcid);
        QTemporaryDir settings, map;
        QVERIFY(QFile::link("/nonexistent/ttyUSB9", map.filePath("COM7")));
        qputenv("COMPORTS_DIR", map.path().toLocal8Bit());
        TForm1::ExecutableFolder = settings.path();
        SetThreadLocale(static_cast<unsigned long>(lcid));

        auto form = std::make_unique<TForm1>();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->LxCommDevice1->fSetPortName("COM7");
        auto* open = form->findChild<QPushButton*>("Button4");
        QVERIFY(open);

        QString text, informative, title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                text = box->text();
                informative = box->informativeText();
                title = box->windowTitle();
                icon = box->icon();
                box->accept();
            }
        });
        closer.start(10);
        QTimer::singleShot(0, open, [open] { open->click(); });
        QVERIFY(QTest::qWaitFor([&] { return !text.isEmpty(); }, 10000));
        closer.stop();

        const std::string link = map.filePath("COM7").toStdString();
        TSystemReason expected;
        expected.Error = ENOENT;
        expected.DevicePath = link;
        expected.AliasName = "COM7";
        expected.AliasLink = link;
        expected.AliasTarget = "/nonexistent/ttyUSB9";
        expected.AliasDangling = true;
        QCOMPARE(text.toStdString(), EComm32Error::BuildMessage(ecOpenPort, "COM7", lcid));
        QCOMPARE(informative.toStdString(), ExplainOpenFailure(expected, lcid));
        QVERIFY(informative.contains("/nonexistent/ttyUSB9"));
        QCOMPARE(title, QGuiApplication::applicationDisplayName());
        QCOMPARE(icon, QMessageBox::Information);
        QVERIFY(open->isEnabled()); // still closed: the open button stays available

        form.reset();
        SetThreadLocale(0);
        qunsetenv("COMPORTS_DIR");
    }
};

QTEST_MAIN(TestOpenFailureBox)
#include "test_open_failure_box.moc"
