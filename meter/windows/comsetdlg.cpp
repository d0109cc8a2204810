// CComSetDlg: choice of the serial port (the baud rate is shown but fixed).
#include "comsetdlg.h"

#include <QComboBox>
#include <QPushButton>

#include <set>

#include "comm32_portinfo.h"
#include "serial.h"

using KestroComm32::TCommSerialPortInfo;

CComSetDlg::CComSetDlg(QWidget* parent)
    : CTemplateDialog(parent, QStringLiteral("通信设置"), 127, 124, DialogFont(QStringLiteral("Fixedsys"), 12))
{
    AddLabel(1034, QStringLiteral("串口号:"), 23, 20, 43, 8);
    m_ComboPort = AddDropList(IDC_COMBO_PORT, 69, 17, 35, 30);
    // Listing the ports gives a newly plugged adapter its number; those above COM12 follow the twelve.
    std::set<int> ports;
    for (int i = 1; i <= 12; ++i) ports.insert(i);
    const TCommSerialPortInfo system;
    for (int i = 0; i < system.PortList.Count(); ++i) {
        const int n = TCommSerialPortInfo::PortNo(system.PortList[i]);
        if (n > 12 && n <= 255 && TCommSerialPortInfo::PortName(n) == system.PortList[i]) ports.insert(n);
    }
    for (int n : ports) {
        m_ComboPort->addItem(QStringLiteral("COM%1").arg(n), n);
        // The device the port maps to, so a person can tell the adapters apart, and below it the
        // library's lines on the USB adapter and its serial number, where there are any.
        const std::string device = CSerial::MappedDevice(n);
        QString tip = device.empty() ? QString::fromUtf8(NotMapped) : QString::fromStdString(device);
        const std::string details = TCommSerialPortInfo::Details(TCommSerialPortInfo::PortName(n)).ToolTip();
        if (const auto newline = details.find('\n'); !device.empty() && newline != std::string::npos)
            tip += QString::fromStdString(details.substr(newline));
        m_ComboPort->setItemData(m_ComboPort->count() - 1, tip, Qt::ToolTipRole);
    }
    AddLabel(1035, QStringLiteral("波特率:"), 23, 47, 43, 8);
    m_ComboBaud = AddDropList(IDC_COMBO_BAUD, 69, 46, 35, 30);
    m_ComboBaud->addItems(
        {QStringLiteral("9600"), QStringLiteral("4800"), QStringLiteral("2400"), QStringLiteral("1200")});
    m_ComboBaud->setEnabled(false);
    AddButton(1, QStringLiteral("确定"), 16, 87, 36, 14, true);
    AddButton(2, QStringLiteral("取消"), 74, 87, 37, 14);
}

void CComSetDlg::OnInitDialog()
{
    m_ComboPort->setCurrentIndex(m_ComboPort->findData(static_cast<int>(m_nPort)));
    m_ComboBaud->setCurrentIndex(0);
}

void CComSetDlg::accept()
{
    // With nothing chosen the port stays as it was rather than becoming the non-existent COM0.
    const int index = m_ComboPort->currentIndex();
    if (index >= 0) m_nPort = static_cast<std::uint8_t>(m_ComboPort->itemData(index).toInt());
    QDialog::accept();
}
