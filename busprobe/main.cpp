// busprobe: the Modbus RTU debugging assistant's program entry.
#include "mainform.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("WenQuanYi Zen Hei")});
    QApplication::setFont(font);
    try {
        TForm1 form;
        form.show();
        return app.exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QApplication::applicationDisplayName(), QString::fromUtf8(e.what()));
        return 1;
    }
}
