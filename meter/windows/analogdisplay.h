// The numeric display of the main window and CIanalogdisplayx, the wrapper its users put properties through.
#pragma once

#include <QPointer>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <cstdint>

// Value with a number of decimals and a units text, right-aligned in large serif digits on grey.
// The shown text is also the widget's accessible name, so screen readers and UI automation read it.
class CAnalogDisplay : public QWidget {
    Q_OBJECT
public:
    static constexpr int DefaultPrecision = 1;
    static constexpr std::uint32_t DefaultFontColor = 0x00FFFF00; // aqua, 0x00BBGGRR
    static constexpr std::uint32_t DefaultBackGroundColor = 0x00696969;
    static constexpr int FontPixels = 35;

    explicit CAnalogDisplay(QWidget* parent = nullptr);

    void SetValue(double value);
    void SetPrecision(int precision);
    void SetUnitsText(const QString& units);
    void SetFontColor(std::uint32_t bgr);
    void SetBackGroundColor(std::uint32_t bgr);

    double Value() const { return m_value; }
    int Precision() const { return m_precision; }
    QString UnitsText() const { return m_units; }
    std::uint32_t FontColor() const { return m_fontColor; }
    std::uint32_t BackGroundColor() const { return m_backColor; }
    // What the display shows: the value with its decimals, then the units text after a blank.
    QString Text() const;

    // 0x00BBGGRR to a colour.
    static QColor ColorFromBgr(std::uint32_t bgr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Changed();

    double m_value = 0;
    int m_precision = DefaultPrecision;
    QString m_units;
    std::uint32_t m_fontColor = DefaultFontColor;
    std::uint32_t m_backColor = DefaultBackGroundColor;
};

// Puts the display's four properties by dispatch id. Callable from any thread: a put from another
// thread runs on the display's thread and returns when it is done, so puts keep their order.
class CIanalogdisplayx {
public:
    enum DispId : long { DispValue = 0x106C, DispPrecision = 3, DispUnitsText = 5, DispFontColor = 0x26 };

    void Attach(CAnalogDisplay* control) { m_control = control; }
    CAnalogDisplay* Control() const { return m_control; }

    void SetValue(double value) { SetProperty(DispValue, value); }
    void SetPrecision(long precision) { SetProperty(DispPrecision, static_cast<int>(precision)); }
    void SetUnitsText(const QString& units) { SetProperty(DispUnitsText, units); }
    void SetFontColor(unsigned long bgr) { SetProperty(DispFontColor, static_cast<unsigned>(bgr)); }

    void SetProperty(DispId id, const QVariant& value);

private:
    QPointer<CAnalogDisplay> m_control;
};
