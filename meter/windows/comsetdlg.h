// CComSetDlg: choice of the serial port (the baud rate is shown but fixed).
#pragma once

#include <cstdint>

#include "dlgsupport.h"

class QComboBox;

class CComSetDlg : public CTemplateDialog {
    Q_OBJECT
public:
    enum { IDD = 130, IDC_COMBO_PORT = 1004, IDC_COMBO_BAUD = 1005 };
    // Tooltip of a port whose device does not exist.
    static constexpr const char* NotMapped = "未映射";
    explicit CComSetDlg(QWidget* parent = nullptr);

    // Set by the caller before showing; read back after OK.
    std::uint8_t m_nPort = 1;
    std::uint16_t m_nBaud = 9600;

    QComboBox* m_ComboPort;
    QComboBox* m_ComboBaud;

public slots:
    void accept() override;

protected:
    void OnInitDialog() override;
};
