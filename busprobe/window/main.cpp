// busprobe: the Modbus RTU debugging assistant's program entry.
#include "mainform.h"
#include "message_box.h"
#include "smoke.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("WenQuanYi Zen Hei")});
#ifdef Q_OS_WIN
    // GDI obeys a font's gasp table, and WenQuanYi Zen Hei's turns smoothing off from 9 to 16 px: its
    // Chinese at the form's 11 px came out jagged with strokes lost. DirectWrite, which this hinting
    // preference selects, smooths them; the form's fonts take it from here.
    font.setHintingPreference(QFont::PreferVerticalHinting);
#endif
    QApplication::setFont(font);
    try {
        TForm1 form;
        form.show();
        if (!Busprobe::SmokeRequested()) return app.exec();
        Busprobe::TSmokeRun smoke(form);
        QTimer::singleShot(0, &smoke, &Busprobe::TSmokeRun::Start);
        app.exec();
        return smoke.ExitCode();
    } catch (const std::exception& e) {
        if (Busprobe::SmokeRequested()) {
            std::printf("BUSPROBE_SMOKE FAIL: %s\n", e.what());
            std::fflush(stdout);
            return 1;
        }
        KestroComm32::ShowMessageBox(nullptr, QString::fromUtf8(e.what()), QApplication::applicationDisplayName(),
                                     QMessageBox::Critical);
        return 1;
    }
}
