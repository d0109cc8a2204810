// The numeric display of the main window and its property wrapper.
#include "analogdisplay.h"

#include <QFontMetrics>
#include <QPainter>
#include <QThread>

#include <algorithm>

#include "dlgsupport.h"

CAnalogDisplay::CAnalogDisplay(QWidget* parent) : QWidget(parent)
{
    QFont font = DialogFont(QStringLiteral("Times New Roman"), 12);
    font.setPixelSize(FontPixels);
    setFont(font);
    setAttribute(Qt::WA_OpaquePaintEvent);
    Changed();
}

void CAnalogDisplay::SetValue(double value)
{
    m_value = value;
    Changed();
}

void CAnalogDisplay::SetPrecision(int precision)
{
    m_precision = precision < 0 ? 0 : (precision > 15 ? 15 : precision);
    Changed();
}

void CAnalogDisplay::SetUnitsText(const QString& units)
{
    m_units = units;
    Changed();
}

void CAnalogDisplay::SetFontColor(std::uint32_t bgr)
{
    m_fontColor = bgr & 0x00FFFFFF;
    update();
}

void CAnalogDisplay::SetBackGroundColor(std::uint32_t bgr)
{
    m_backColor = bgr & 0x00FFFFFF;
    update();
}

QString CAnalogDisplay::Text() const
{
    QString text = QString::number(m_value, 'f', m_precision);
    if (!m_units.isEmpty()) text += QLatin1Char(' ') + m_units;
    return text;
}

QColor CAnalogDisplay::ColorFromBgr(std::uint32_t bgr)
{
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

void CAnalogDisplay::Changed()
{
    setAccessibleName(Text());
    update();
}

void CAnalogDisplay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), ColorFromBgr(m_backColor));
    painter.setPen(ColorFromBgr(m_fontColor));
    const QRect area = rect().adjusted(4, 0, -6, 0);
    const QString text = Text();
    // A reading too wide for the display is drawn smaller: cut-off leading digits would read as
    // another number.
    QFont shown = font();
    const int width = QFontMetrics(shown).horizontalAdvance(text);
    if (width > area.width() && area.width() > 0) {
        shown.setPixelSize(std::max(6, shown.pixelSize() * area.width() / width));
        while (shown.pixelSize() > 6 && QFontMetrics(shown).horizontalAdvance(text) > area.width())
            shown.setPixelSize(shown.pixelSize() - 1);
    }
    painter.setFont(shown);
    painter.drawText(area, Qt::AlignRight | Qt::AlignVCenter, text);
}

void CIanalogdisplayx::SetProperty(DispId id, const QVariant& value)
{
    CAnalogDisplay* control = m_control.data();
    if (!control) return;
    auto put = [control, id, value] {
        switch (id) {
        case DispValue: control->SetValue(value.toDouble()); break;
        case DispPrecision: control->SetPrecision(value.toInt()); break;
        case DispUnitsText: control->SetUnitsText(value.toString()); break;
        case DispFontColor: control->SetFontColor(value.toUInt()); break;
        }
    };
    if (QThread::currentThread() == control->thread()) put();
    else QMetaObject::invokeMethod(control, put, Qt::BlockingQueuedConnection);
}
