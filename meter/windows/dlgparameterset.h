// CDlgParameterSet: the meter's parameters; ratio, alarm threshold and address are edited.
#pragma once

#include "dlgsupport.h"
#include "meter_values.h"

class QComboBox;

class CDlgParameterSet : public CTemplateDialog {
    Q_OBJECT
public:
    enum {
        IDD = 133,
        IDC_EDIT_VOLTAGE = 1006,
        IDC_EDIT_CURRENT = 1007,
        IDC_EDIT_POWER = 1008,
        IDC_EDIT_RATIO = 1009,
        IDC_EDIT_ADDRESS = 1010,
        IDC_COMBO_BAUD = 1011,
        IDC_EDIT_ALARM = 1012
    };
    explicit CDlgParameterSet(QWidget* parent = nullptr);
    // The meter's parameters as read, the fields' starting values.
    void LoadParameters(const MeterParameters& p);

    // Set by the caller before showing; ratio, alarm threshold and address are read back after OK.
    int m_nVoltageStd = 0; // V
    int m_nCurrentStd = 0; // mA
    int m_nPowerStd = 0;   // W
    int m_nCurrentRatio = 0;
    int m_nAddress = 0;
    int m_nAlarm = 0; // W

    QLineEdit* m_EditVoltage;
    QLineEdit* m_EditCurrent;
    QLineEdit* m_EditPower;
    QLineEdit* m_EditRatio;
    QLineEdit* m_EditAddress;
    QComboBox* m_ComboBaud;
    QLineEdit* m_EditAlarm;

public slots:
    void accept() override;

protected:
    void OnInitDialog() override;
};
