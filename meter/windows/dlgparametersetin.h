// CDlgParameterSetIn: the meter's internal (calibration) registers as hexadecimal texts; five are edited.
#pragma once

#include "dlgsupport.h"

class CDlgParameterSetIn : public CTemplateDialog {
    Q_OBJECT
public:
    enum {
        IDD = 134,
        IDC_EDIT_VOLTAGE_CAL = 1012,
        IDC_EDIT_CURRENT_CAL = 1013,
        IDC_EDIT_POWER_CAL = 1014,
        IDC_EDIT_ENERGY_CAL = 1015,
        IDC_EDIT_ENERGY_CONST = 1016,
        IDC_EDIT_PULSE_THRESHOLD = 1017,
        IDC_EDIT_START_THRESHOLD = 1018,
        IDC_EDIT_MODULE_NUMBER = 1019,
        IDC_EDIT_PULSE_RATE = 1020,
        IDC_EDIT_ANGLE_CORRECTION = 1021,
        IDC_EDIT_POWER_COMPENSATION = 1022,
        IDC_EDIT_CURRENT_COMPENSATION = 1023
    };
    explicit CDlgParameterSetIn(QWidget* parent = nullptr);

    // Set by the caller before showing; the five editable texts are read back after OK.
    QString m_strVoltageCal;
    QString m_strCurrentCal;
    QString m_strPowerCal;
    QString m_strEnergyCal;
    QString m_strEnergyConst;
    QString m_strPulseThreshold;
    QString m_strStartThreshold;
    QString m_strModuleNumber;
    QString m_strPulseRate;
    QString m_strAngleCorrection;
    QString m_strPowerCompensation;
    QString m_strCurrentCompensation;

    // The edit of a control id (1012-1023), or null.
    QLineEdit* Edit(int id) const;

public slots:
    void accept() override;

protected:
    void OnInitDialog() override;

private:
    struct Field {
        int id;
        QString CDlgParameterSetIn::*member;
        int limit;
        QLineEdit* edit;
    };
    const Field* Find(int id) const;
    Field m_fields[12];
};
