// The message box every window of the programs shows, and the one hook tests put in front of it.
#include "message_box.h"

#include <QApplication>
#include <QGridLayout>
#include <QThread>

namespace KestroComm32 {

namespace {
TMessageBoxHook& Hook()
{
    static TMessageBoxHook hook;
    return hook;
}

bool Answered(QWidget* owner, const QString& text, const QString& title, QMessageBox::Icon icon)
{
    Q_ASSERT(QThread::currentThread() == qApp->thread());
    return Hook() && Hook()(owner, text, title, icon);
}
} // namespace

void SetMessageBoxHook(TMessageBoxHook hook) { Hook() = std::move(hook); }

void ShowMessageBox(QWidget* owner, const QString& text, const QString& title, QMessageBox::Icon icon,
                    const QString& informative)
{
    if (Answered(owner, text, title, icon)) return;
    QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("AppMessageBox"));
    box.setInformativeText(informative);
    // Wide enough that the explanation reads as a paragraph, not as a narrow column.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()); grid && !informative.isEmpty())
        grid->addItem(new QSpacerItem(420, 0), grid->rowCount(), 0, 1, grid->columnCount());
    box.exec();
}

void ShowAboutBox(QWidget* owner, const QString& title, const QString& text)
{
    if (Answered(owner, text, title, QMessageBox::NoIcon)) return;
    QMessageBox::about(owner, title, text);
}

} // namespace KestroComm32
