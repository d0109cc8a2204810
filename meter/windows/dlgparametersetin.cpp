// CDlgParameterSetIn: the meter's internal (calibration) registers as hexadecimal texts; five are edited.
#include "dlgparametersetin.h"

#include <QLabel>
#include <QValidator>

#include "dialog_rules.h"
#include "meter_values.h"

namespace {
struct Layout {
    int id;
    const char* label;
    int limit;
    bool editable;
    bool digitsOnly;
    int x, y;
};
// Template order: the left column of results read only, then the right column of editable texts.
constexpr Layout Fields[12] = {
    {1012, "电压校准结果:", 8, false, false, 71, 11},  {1013, "电流校准结果:", 8, false, false, 71, 33},
    {1014, "功率校准结果:", 8, false, false, 71, 55},  {1015, "电能校准结果:", 4, false, false, 71, 76},
    {1016, "电能计算常数:", 8, false, false, 71, 97},  {1017, "电能脉冲门限:", 8, false, false, 71, 118},
    {1018, "电能起动门限:", 8, false, false, 71, 139}, {1019, "模块编号:", 12, true, true, 185, 10},
    {1020, "脉冲速率:", 4, true, true, 185, 33},       {1021, "角差校正:", 4, true, true, 185, 55},
    {1022, "功率补偿:", 8, true, false, 185, 76},      {1023, "电流补偿:", 8, true, false, 185, 97},
};

// Lets only decimal digits in, by any path: typing, input method, paste, drop. A text the dialog put
// in (a register read, which may hold hexadecimal letters) stays: its other characters may be deleted
// but none added, so each one must match, in order, one of the last accepted text.
class DigitEntryValidator : public QValidator {
public:
    explicit DigitEntryValidator(QLineEdit* edit) : QValidator(edit)
    {
        connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { m_accepted = text; });
    }

    State validate(QString& input, int&) const override
    {
        qsizetype from = 0;
        for (QChar c : input) {
            if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) continue;
            from = m_accepted.indexOf(c, from);
            if (from < 0) return Invalid;
            ++from;
        }
        return Acceptable;
    }

private:
    QString m_accepted;
};
} // namespace

CDlgParameterSetIn::CDlgParameterSetIn(QWidget* parent)
    : CTemplateDialog(parent, QStringLiteral("内部参数设置"), 255, 207, DialogFont(QStringLiteral("Fixedsys"), 12))
{
    QString CDlgParameterSetIn::*const members[12] = {
        &CDlgParameterSetIn::m_strVoltageCal,        &CDlgParameterSetIn::m_strCurrentCal,
        &CDlgParameterSetIn::m_strPowerCal,          &CDlgParameterSetIn::m_strEnergyCal,
        &CDlgParameterSetIn::m_strEnergyConst,       &CDlgParameterSetIn::m_strPulseThreshold,
        &CDlgParameterSetIn::m_strStartThreshold,    &CDlgParameterSetIn::m_strModuleNumber,
        &CDlgParameterSetIn::m_strPulseRate,         &CDlgParameterSetIn::m_strAngleCorrection,
        &CDlgParameterSetIn::m_strPowerCompensation, &CDlgParameterSetIn::m_strCurrentCompensation,
    };
    for (int i = 0; i < 12; ++i) {
        const Layout& l = Fields[i];
        const int labelX = l.x < 128 ? 13 : 145;
        AddLabel(-1, QString::fromUtf8(l.label), labelX, l.y + 3, l.x - labelX - 2, 8);
        QLineEdit* edit = l.digitsOnly ? PlaceControl<CNumberEdit>(this, Units(), l.id, l.x, l.y, 57, 14)
                                       : PlaceControl<QLineEdit>(this, Units(), l.id, l.x, l.y, 57, 14);
        edit->setReadOnly(!l.editable);
        if (l.digitsOnly) edit->setValidator(new DigitEntryValidator(edit));
        m_fields[i] = Field{l.id, members[i], l.limit, edit};
    }
    AddButton(1, QStringLiteral("确定"), 57, 173, 50, 14, true);
    AddButton(2, QStringLiteral("取消"), 169, 173, 50, 14);
}

QLineEdit* CDlgParameterSetIn::Edit(int id) const
{
    const Field* f = Find(id);
    return f ? f->edit : nullptr;
}

const CDlgParameterSetIn::Field* CDlgParameterSetIn::Find(int id) const
{
    for (const Field& f : m_fields)
        if (f.id == id) return &f;
    return nullptr;
}

void CDlgParameterSetIn::OnInitDialog()
{
    for (Field& f : m_fields) {
        f.edit->setMaxLength(f.limit);
        // The text read goes in past the filter, letters and all; the filter then holds it as accepted.
        const QValidator* filter = f.edit->validator();
        f.edit->setValidator(nullptr);
        f.edit->setText(this->*f.member);
        f.edit->setValidator(filter);
    }
}

void CDlgParameterSetIn::accept()
{
    static constexpr int Order[12] = {1020, 1019, 1021, 1022, 1023, 1012, 1013, 1014, 1015, 1016, 1017, 1018};
    for (int id : Order) {
        const Field* f = Find(id);
        const QString text = f->edit->text();
        if (!DDV_MaxChars(this, f->edit, text, f->limit)) return;
        this->*f->member = text;
    }
    // The register conversion takes only complete hexadecimal texts; anything else is refused
    // here, before the worker could write a guessed word into a calibration register.
    static constexpr struct {
        int id;
        InnerField field;
    } Editable[5] = {
        {1020, InnerField::PulseRate},           {1019, InnerField::ModuleNumber},
        {1021, InnerField::AngleCorrection},     {1022, InnerField::PowerCompensation},
        {1023, InnerField::CurrentCompensation},
    };
    for (const auto& e : Editable) {
        const Field* f = Find(e.id);
        if (!InnerTextValid(e.field, (this->*f->member).toStdString())) {
            FailField(this, f->edit, QString::fromStdString(HexDigitsMessage(InnerFieldWidth(e.field))));
            return;
        }
    }
    QDialog::accept();
}
