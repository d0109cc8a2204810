// The message box every window of the programs shows, and the one hook tests put in front of it.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

namespace KestroComm32 {

// Sees every box first; returning true answers it unshown, false lets it be shown. Tests and the
// smoke runs set it so that no modal box waits for a click; empty means every box is shown.
using TMessageBoxHook =
    std::function<bool(QWidget* owner, const QString& text, const QString& title, QMessageBox::Icon icon)>;
void SetMessageBoxHook(TMessageBoxHook hook);

// A modal box with one OK button; user-interface thread only. informative is a second, smaller
// paragraph under the text (the hook sees the text alone).
void ShowMessageBox(QWidget* owner, const QString& text, const QString& title, QMessageBox::Icon icon,
                    const QString& informative = QString());

// The About box: the application's icon beside the text; the hook sees it without an icon.
void ShowAboutBox(QWidget* owner, const QString& title, const QString& text);

} // namespace KestroComm32
