// Writes busprobe-main.png, the main window after a decoded 03H read from a libmodbus slave, into the folder
// named on the command line. Usage: busprobe_screenshot <folder>
#include "lxcommdevice.h"
#include "mainform.h"
#include "modbus_slave.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFontDatabase>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

bool WaitFor(const std::function<bool()>& condition, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(20);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (!QFontDatabase::families().contains("WenQuanYi Zen Hei")) {
        std::fprintf(stderr, "the CJK font WenQuanYi Zen Hei is not installed (fonts-wqy-zenhei)\n");
        return 1;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);

    TModbusPtySlave slave(5);
    QTemporaryDir settings;
    TForm1::ExecutableFolder = settings.path();
    TForm1::MessageHook = [](TForm1::TMessageKind, const QString& text) {
        std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
    };
    auto form = std::make_unique<TForm1>();
    form->show();

    form->Edit06_485Addr->setText("1");
    form->Edit06_RegAddr->setText("1");
    form->Edit06_RegValue->setText("$1234");
    form->Edit03_485Addr->setText("1");
    form->Edit03_RegAddr->setText("0");
    form->Edit03_RegNum->setText("4");
    form->EditSend->setText("01 04 00 00 00 02");
    form->LxCommDevice1->fSetPortNo(5);
    QTest::mouseClick(form->Button4, Qt::LeftButton);
    if (!form->LxCommDevice1->fGetActive()) return 1;

    const auto lines = [&] { return form->MemoReceive->toPlainText().count('\n'); };
    QTest::mouseClick(form->ButtonSend_06, Qt::LeftButton);
    if (!WaitFor([&] { return lines() == 1; }, 5000)) return 1;
    QTest::mouseClick(form->ButtonSendWithCRC, Qt::LeftButton);
    if (!WaitFor([&] { return lines() == 2; }, 5000)) return 1;
    QTest::mouseClick(form->ButtonSend_03, Qt::LeftButton);
    if (!WaitFor([&] { return form->Edit03_RegValue->text() == "0100 1234 0102 0103 "; }, 5000)) {
        std::fprintf(stderr, "no decoded reply\n");
        return 1;
    }
    const QString path = QDir(folder).filePath("busprobe-main.png");
    if (!form->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", path.toLocal8Bit().constData());
        return 1;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());
    form.reset();
    TForm1::MessageHook = nullptr;
    return 0;
}
