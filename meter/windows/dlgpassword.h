// CDlgPassword: the password in front of the calibration command.
#pragma once

#include "dlgsupport.h"

class CDlgPassword : public CTemplateDialog {
    Q_OBJECT
public:
    enum { IDD = 136, IDC_EDIT_PASSWORD = 1040 };
    static constexpr int PasswordLimit = 10;
    explicit CDlgPassword(QWidget* parent = nullptr);

    QString m_strPassword;
    QLineEdit* m_EditPassword;

public slots:
    void accept() override;
};
