// CDlgParameterSet: the meter's parameters; ratio, alarm threshold and address are edited.
#include "dlgparameterset.h"

#include <QComboBox>
#include <QLabel>

namespace {
// An edit with its label to the left and, if any, its unit to the right.
QLineEdit* AddField(CTemplateDialog* dlg, int id, int labelId, const QString& label, const QString& unit, int x, int y,
                    int w, int h)
{
    auto* lbl = PlaceControl<QLabel>(dlg, dlg->Units(), labelId, x - 52, y + 3, 50, 8);
    lbl->setText(label);
    auto* edit = PlaceControl<QLineEdit>(dlg, dlg->Units(), id, x, y, w, h);
    if (!unit.isEmpty()) {
        auto* u = PlaceControl<QLabel>(dlg, dlg->Units(), -1, x + w + 3, y + 3, 16, 8);
        u->setText(unit);
    }
    return edit;
}
} // namespace

CDlgParameterSet::CDlgParameterSet(QWidget* parent)
    : CTemplateDialog(parent, QStringLiteral("参数设置"), 233, 140, DialogFont(QStringLiteral("Fixedsys"), 12))
{
    m_EditVoltage =
        AddField(this, IDC_EDIT_VOLTAGE, 1028, QStringLiteral("电压标准值:"), QStringLiteral("v"), 70, 15, 34, 14);
    m_EditCurrent =
        AddField(this, IDC_EDIT_CURRENT, 1029, QStringLiteral("电流标准值:"), QStringLiteral("mA"), 70, 35, 34, 14);
    m_EditPower =
        AddField(this, IDC_EDIT_POWER, 1030, QStringLiteral("功率标准值:"), QStringLiteral("W"), 70, 55, 34, 14);
    m_EditRatio = AddField(this, IDC_EDIT_RATIO, 1036, QStringLiteral("电流变比:"), QString(), 70, 76, 34, 14);
    m_EditAddress = AddField(this, IDC_EDIT_ADDRESS, 1037, QStringLiteral("通信地址:"), QString(), 178, 16, 34, 14);
    auto* baudLabel = PlaceControl<QLabel>(this, Units(), 1035, 178 - 52, 36 + 3, 50, 8);
    baudLabel->setText(QStringLiteral("波特率:"));
    m_ComboBaud = AddDropList(IDC_COMBO_BAUD, 178, 36, 34, 30);
    m_ComboBaud->setEnabled(false);
    m_EditAlarm =
        AddField(this, IDC_EDIT_ALARM, 1038, QStringLiteral("功率报警值:"), QStringLiteral("W"), 178, 55, 34, 14);

    for (QLineEdit* e : {m_EditVoltage, m_EditCurrent, m_EditPower}) e->setReadOnly(true);
    m_EditRatio->hide();
    findChild<QLabel*>(QStringLiteral("1036"))->hide();

    AddButton(1, QStringLiteral("确定"), 46, 107, 50, 14, true);
    AddButton(2, QStringLiteral("取消"), 134, 107, 50, 14);
}

void CDlgParameterSet::LoadParameters(const MeterParameters& p)
{
    m_nVoltageStd = p.VoltageStandard;
    m_nCurrentStd = p.CurrentStandard;
    m_nPowerStd = p.PowerStandard;
    m_nCurrentRatio = p.CurrentRatio;
    m_nAddress = p.Address;
    m_nAlarm = p.AlarmThreshold;
}

void CDlgParameterSet::OnInitDialog()
{
    m_EditVoltage->setText(QString::number(m_nVoltageStd));
    m_EditCurrent->setText(QString::number(m_nCurrentStd));
    m_EditPower->setText(QString::number(m_nPowerStd));
    m_EditRatio->setText(QString::number(m_nCurrentRatio));
    m_EditAddress->setText(QString::number(m_nAddress));
    m_EditAlarm->setText(QString::number(m_nAlarm));
}

void CDlgParameterSet::accept()
{
    struct Field {
        QLineEdit* edit;
        int* member;
        int lower, upper;
    };
    const Field fields[] = {
        {m_EditVoltage, &m_nVoltageStd, 80, 260}, {m_EditCurrent, &m_nCurrentStd, 1000, 10000},
        {m_EditPower, &m_nPowerStd, 100, 5000},   {m_EditAlarm, &m_nAlarm, 1, 50000},
        {m_EditRatio, &m_nCurrentRatio, 1, 100},  {m_EditAddress, &m_nAddress, 1, 247},
    };
    for (const Field& f : fields) {
        int value = 0;
        if (!DDX_Int(this, f.edit, value) || !DDV_MinMaxInt(this, f.edit, value, f.lower, f.upper)) return;
        *f.member = value;
    }
    QDialog::accept();
}
