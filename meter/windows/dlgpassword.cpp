// CDlgPassword: the password in front of the calibration command.
#include "dlgpassword.h"

#include "dialog_rules.h"
#include "message_box.h"

CDlgPassword::CDlgPassword(QWidget* parent)
    : CTemplateDialog(parent, QStringLiteral("校准密码"), 138, 74, DialogFont(QStringLiteral("Times New Roman"), 12))
{
    AddLabel(1039, QStringLiteral("校准密码："), 28, 16, 41, 8);
    m_EditPassword = PlaceControl<QLineEdit>(this, Units(), IDC_EDIT_PASSWORD, 63, 13, 46, 14);
    m_EditPassword->setEchoMode(QLineEdit::Password);
    m_EditPassword->setMaxLength(PasswordLimit);
    AddButton(2, QStringLiteral("取消"), 20, 46, 36, 14);
    AddButton(1, QStringLiteral("确定"), 81, 46, 36, 14, true);
    m_EditPassword->setFocus();
}

void CDlgPassword::accept()
{
    const QString entered = m_EditPassword->text();
    if (!DDV_MaxChars(this, m_EditPassword, entered, PasswordLimit)) return;
    m_strPassword = entered;
    if (m_strPassword.isEmpty()) return;
    if (PasswordMatches(m_strPassword.toStdString())) {
        QDialog::accept();
        return;
    }
    KestroComm32::ShowMessageBox(this, QStringLiteral("密码错误"), QStringLiteral("错误"), QMessageBox::Critical);
    m_strPassword.clear();
    m_EditPassword->clear();
    m_EditPassword->setFocus();
}
