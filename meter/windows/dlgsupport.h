// Scaffolding shared by Ormet-Master's windows: dialog units, fonts, controls by id, field checks.
#pragma once

#include <QDialog>
#include <QFont>
#include <QLineEdit>
#include <QRect>
#include <QString>

// Title of every message box: the executable's name.
inline constexpr const char* AppName = "Ormet-Master";

// A font of the windows' templates; families missing here fall back to close relatives
// (a serif for "Times New Roman", a monospaced CJK font for "Fixedsys").
QFont DialogFont(const QString& family, int points);

// Dialog base units of a font, computed as Windows does: the average width of the 52 letters of
// the alphabet, and the character height.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);
    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }
    // Pixel rectangle of a rectangle in dialog units (each edge converted on its own).
    QRect Rect(int x, int y, int w, int h) const;
    QSize Size(int w, int h) const;

private:
    int m_baseX;
    int m_baseY;
};

class QComboBox;
class QLabel;
class QPushButton;

// Base of the windows built from a dialog template: caption, font, client size in dialog units,
// fixed size; buttons 1 (OK) and 2 (cancel) end the dialog; OnInitDialog runs before the first showing.
class CTemplateDialog : public QDialog {
    Q_OBJECT
public:
    const CDialogUnits& Units() const { return m_units; }

protected:
    CTemplateDialog(QWidget* parent, const QString& caption, int cx, int cy, const QFont& font);
    QPushButton* AddButton(int id, const QString& text, int x, int y, int w, int h, bool isDefault = false);
    QLabel* AddLabel(int id, const QString& text, int x, int y, int w, int h);
    // A drop-down list: its rectangle includes the open list; the closed box is as high as its font needs.
    QComboBox* AddDropList(int id, int x, int y, int w, int h);
    virtual void OnInitDialog() {}
    void showEvent(QShowEvent* event) override;

private:
    CDialogUnits m_units;
    bool m_initialised = false;
};

// Names a control after its id (ids below 0 are static texts without one).
void SetControlId(QWidget* control, int id);
// Creates the control W on parent at its rectangle in dialog units and names it after its id.
template <class W>
W* PlaceControl(QWidget* parent, const CDialogUnits& du, int id, int x, int y, int w, int h)
{
    auto* control = new W(parent);
    SetControlId(control, id);
    control->setGeometry(du.Rect(x, y, w, h));
    return control;
}

// An edit that, like an ES_NUMBER edit, takes typed decimal digits only; texts set by the program
// are shown as they are.
class CNumberEdit : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// Data exchange of the dialogs: on failure the message (exclamation icon, application title) is
// shown, the field gets the focus with its text selected, and false stops the exchange.
bool DDX_Int(QWidget* dlg, QLineEdit* edit, int& value);
bool DDV_MinMaxInt(QWidget* dlg, QLineEdit* edit, int value, int lower, int upper);
bool DDV_MaxChars(QWidget* dlg, QLineEdit* edit, const QString& value, int limit);
void FailField(QWidget* dlg, QLineEdit* edit, const QString& message);
