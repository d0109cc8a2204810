// Scaffolding shared by Ormet-Master's windows: dialog units, fonts, controls by id, field checks.
#include "dlgsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "dialog_rules.h"
#include "message_box.h"

namespace {
// MulDiv as Windows rounds it (halves away from zero).
int MulDiv(int a, int b, int c)
{
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>(p >= 0 ? (p + c / 2) / c : (p - c / 2) / c);
}
} // namespace

QFont DialogFont(const QString& family, int points)
{
    QFont font;
    QStringList families{family};
    if (family == QLatin1String("Fixedsys"))
        families << "WenQuanYi Zen Hei Mono"
                 << "DejaVu Sans Mono"
                 << "monospace";
    else
        families << "Liberation Serif"
                 << "DejaVu Serif"
                 << "WenQuanYi Zen Hei"
                 << "serif";
    font.setFamilies(families);
    font.setStyleHint(family == QLatin1String("Fixedsys") ? QFont::Monospace : QFont::Serif);
    // Template sizes are points at 96 dots per inch.
    font.setPixelSize(MulDiv(points, 96, 72));
    return font;
}

CDialogUnits::CDialogUnits(const QFont& font)
{
    const QFontMetrics fm(font);
    const int width = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (width / 26 + 1) / 2;
    m_baseY = fm.height();
}

QRect CDialogUnits::Rect(int x, int y, int w, int h) const
{
    const int left = MulDiv(x, m_baseX, 4), right = MulDiv(x + w, m_baseX, 4);
    const int top = MulDiv(y, m_baseY, 8), bottom = MulDiv(y + h, m_baseY, 8);
    return QRect(left, top, right - left, bottom - top);
}

QSize CDialogUnits::Size(int w, int h) const { return Rect(0, 0, w, h).size(); }

CTemplateDialog::CTemplateDialog(QWidget* parent, const QString& caption, int cx, int cy, const QFont& font)
    : QDialog(parent), m_units(font)
{
    setWindowTitle(caption);
    setFont(font);
    setWindowFlags((windowFlags() | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) &
                   ~Qt::WindowContextHelpButtonHint);
    setFixedSize(m_units.Size(cx, cy));
}

QPushButton* CTemplateDialog::AddButton(int id, const QString& text, int x, int y, int w, int h, bool isDefault)
{
    auto* button = PlaceControl<QPushButton>(this, m_units, id, x, y, w, h);
    button->setText(text);
    button->setDefault(isDefault);
    if (id == 1) connect(button, &QPushButton::clicked, this, &QDialog::accept);
    if (id == 2) connect(button, &QPushButton::clicked, this, &QDialog::reject);
    return button;
}

QLabel* CTemplateDialog::AddLabel(int id, const QString& text, int x, int y, int w, int h)
{
    auto* label = PlaceControl<QLabel>(this, m_units, id, x, y, w, h);
    label->setText(text);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QComboBox* CTemplateDialog::AddDropList(int id, int x, int y, int w, int h)
{
    auto* combo = PlaceControl<QComboBox>(this, m_units, id, x, y, w, h);
    QRect r = combo->geometry();
    r.setHeight(combo->sizeHint().height());
    combo->setGeometry(r);
    return combo;
}

void CTemplateDialog::showEvent(QShowEvent* event)
{
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void SetControlId(QWidget* control, int id)
{
    control->setObjectName(id >= 0 ? QString::number(id) : QStringLiteral("static"));
    control->setProperty("controlId", id);
}

void CNumberEdit::keyPressEvent(QKeyEvent* event)
{
    const QString text = event->text();
    const bool command = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (!command && !text.isEmpty()) {
        for (QChar c : text) {
            if (c.isPrint() && !(c >= QLatin1Char('0') && c <= QLatin1Char('9'))) {
                QApplication::beep();
                event->accept();
                return;
            }
        }
    }
    QLineEdit::keyPressEvent(event);
}

void FailField(QWidget* dlg, QLineEdit* edit, const QString& message)
{
    KestroComm32::ShowMessageBox(dlg, message, QString::fromUtf8(AppName), QMessageBox::Warning);
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}

bool DDX_Int(QWidget* dlg, QLineEdit* edit, int& value)
{
    const auto parsed = ParseDialogInt(edit->text().toStdString());
    if (!parsed) {
        FailField(dlg, edit, QString::fromUtf8(MsgNotInteger));
        return false;
    }
    value = static_cast<int>(*parsed);
    return true;
}

bool DDV_MinMaxInt(QWidget* dlg, QLineEdit* edit, int value, int lower, int upper)
{
    if (value >= lower && value <= upper) return true;
    FailField(dlg, edit, QString::fromStdString(RangeMessage(lower, upper)));
    return false;
}

bool DDV_MaxChars(QWidget* dlg, QLineEdit* edit, const QString& value, int limit)
{
    if (value.length() <= limit) return true;
    FailField(dlg, edit, QString::fromStdString(MaxCharsMessage(limit)));
    return false;
}
