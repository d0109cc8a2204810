// CComSetDlg: choice of the serial port (the baud rate is shown but fixed).
#include "comsetdlg.h"

#include <QComboBox>
#include <QPushButton>

#include "serial.h"

CComSetDlg::CComSetDlg(QWidget* parent)
    : CTemplateDialog(parent, QStringLiteral("通信设置"), 127, 124, DialogFont(QStringLiteral("Fixedsys"), 12))
{
    AddLabel(1034, QStringLiteral("串口号:"), 23, 20, 43, 8);
    m_ComboPort = AddDropList(IDC_COMBO_PORT, 69, 17, 35, 30);
    for (int i = 1; i <= 12; ++i) {
        m_ComboPort->addItem(QStringLiteral("COM%1").arg(i));
        // The device the port maps to, so a person can tell the adapters apart.
        const std::string device = CSerial::MappedDevice(i);
        m_ComboPort->setItemData(i - 1, device.empty() ? QString::fromUtf8(NotMapped) : QString::fromStdString(device),
                                 Qt::ToolTipRole);
    }
    AddLabel(1035, QStringLiteral("波特率:"), 23, 47, 43, 8);
    m_ComboBaud = AddDropList(IDC_COMBO_BAUD, 69, 46, 35, 30);
    m_ComboBaud->addItems({QStringLiteral("9600"), QStringLiteral("4800"), QStringLiteral("2400"), QStringLiteral("1200")});
    m_ComboBaud->setEnabled(false);
    AddButton(1, QStringLiteral("确定"), 16, 87, 36, 14, true);
    AddButton(2, QStringLiteral("取消"), 74, 87, 37, 14);
}

void CComSetDlg::OnInitDialog()
{
    m_ComboPort->setCurrentIndex(m_nPort >= 1 && m_nPort <= m_ComboPort->count() ? m_nPort - 1 : -1);
    m_ComboBaud->setCurrentIndex(0);
}

void CComSetDlg::accept()
{
    // With nothing chosen the port stays as it was rather than becoming the non-existent COM0.
    const int index = m_ComboPort->currentIndex();
    if (index >= 0) m_nPort = static_cast<std::uint8_t>(index + 1);
    QDialog::accept();
}
