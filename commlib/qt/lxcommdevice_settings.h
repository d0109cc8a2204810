// TForm_LxCommDevice_Settings: the modal dialog that sets up the serial line of one device component.
#pragma once

#include "comm32_types.h"

#include <QDialog>
#include <QString>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace KestroComm32 {

class TLxCustomCommDevice;

class TForm_LxCommDevice_Settings : public QDialog {
    Q_OBJECT

public:
    // The dialog's texts in the language of TComm32Language: 2052 Simplified Chinese, 1028
    // Traditional Chinese, English otherwise. Decided once, when the table object is made.
    class TMsgStrings {
    public:
        // The entries by name; the values are the entries' places in every language's table.
        enum TMsgId : int {
            msgOk = 0,
            msgCancel = 1,
            msgCaption = 2,
            msgPortLabel = 3,
            msgBaudLabel = 4,
            msgParityLabel = 5,
            msgByteSizeLabel = 6,
            msgStopBitsLabel = 7,
            msgFlowLabel = 8,
            msgNoParity = 9,
            msgOddParity = 10,
            msgEvenParity = 11,
            msgMarkParity = 12,
            msgFlowNone = 13,
            msgFlowRtsCts = 14,
            msgFlowXonXoff = 15,
            msgFlowRtsCtsXonXoff = 16,
            msgNeedPort = 17,
            msgNeedBaud = 18,
            msgInvalidBaud = 19, // in every table, but no check of the dialog reports it
            msgNeedByteSize = 20,
            msgNeedParity = 21,
            msgNeedStopBits = 22,
            msgNeedFlow = 23,
            msgAbout = 24,
            msgDefault = 25,
            msgPortGroup = 26,
            msgModemGroup = 27,
            msgBufferGroup = 28,
            msgAutoAnswerLabel = 29,
            msgInBufLabel = 30,
            msgOutBufLabel = 31,
            msgAutoAnswerRange = 32,
            msgInBufSizeError = 33,
            msgOutBufSizeError = 34,
            msgSpaceParity = 35,
        };
        static constexpr int Count = msgSpaceParity + 1;
        TMsgStrings();
        explicit TMsgStrings(unsigned long lcid);
        QString fGetMsg(int index) const; // empty for an index outside 0..Count-1
        unsigned long LcId() const { return FLcId; }

    private:
        unsigned long FLcId;
        const char* const* Table;
    };

    // Reads the device's state and fills the fields. openOnOk: OK leaves the port open even if it
    // was closed. About and Default are shown only while the device is being designed.
    TForm_LxCommDevice_Settings(QWidget* owner, TLxCustomCommDevice* device, bool openOnOk);
    ~TForm_LxCommDevice_Settings() override;

    // Enter in a field of the chain moves the focus to the next one; true when it did.
    bool MoveCtrlFocus();

    // The leading decimal integer of a text (blanks and a sign allowed first; 0 without digits).
    // Negative values give 0 and values beyond 32 bits saturate, since a speed is unsigned.
    static unsigned long LeadingSpeed(const QString& text);
    // A whole text as a 32-bit integer: decimal, or hexadecimal after "$" or "0x", with an optional
    // sign first; false for anything else (empty, trailing characters, overflow).
    static bool ParseInteger(const QString& text, long& value);

    // Published controls, in declaration order.
    QGroupBox* GBoxBuffer;
    QLabel* lbInbs;
    QLabel* lbOutbs;
    QLineEdit* EditInBufSize;
    QLineEdit* EditOutBufSize;
    QPushButton* BnAbout;
    QPushButton* BnDefault;
    QPushButton* BnOK;
    QPushButton* BnCancel;
    QGroupBox* GboxBase;
    QLabel* lbPort;
    QLabel* lbBaud;
    QLabel* lbCheck;
    QLabel* lbBits;
    QLabel* lbStops;
    QComboBox* CbStopBits;
    QComboBox* CbSelBaud;
    QComboBox* CbParity;
    QComboBox* CbByteSize;
    QComboBox* CbPort;
    QGroupBox* GBoxModem;
    QLabel* lbFlow;
    QLabel* lbAAns;
    QComboBox* CbFlow;
    QLineEdit* EditAutoAns;

public slots:
    void BnOKClick();
    void BnCancelClick();
    void BnDefaultClick();
    void BnAboutClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The message box of every failure: text, the dialog's caption, error icon, one OK button.
    // informative: a second, smaller paragraph under the text (the message box hook sees the text alone).
    virtual void ShowError(const QString& text, const QString& informative = QString());

private:
    struct TSavedState {
        bool Active = false;
        UnicodeString PortName;
        unsigned long Baud = 0;
        int ByteSize = 8;
        int Parity = 0;
        int StopBits = 0;
        int FlowControl = 0;
        int AutoAnswer = 0;
        long InBufSize = 0;
        long OutBufSize = 0;
    };

    // The controls, one group at a time.
    void CreateControls();
    void CreateBufferGroup();
    void CreateButtons();
    void CreateBaseGroup();
    void CreateModemGroup();
    void FillFixedLists();
    void ChainFields();
    void ConnectButtons();
    void SetTexts();
    void FitToTexts();
    void SaveDeviceState();
    void ShowDeviceState();
    void Apply(const TSavedState& values);
    void Undo();
    // OK's checks in their order: false after the first failure has been shown.
    bool ReadLineFields(TSavedState& v);
    bool ReadModemAndBufferFields(TSavedState& v);
    // Applies all values, or on the first refusal puts the saved ones back and shows why.
    bool ApplyOrUndo(const TSavedState& v);
    bool Fail(QWidget* control, TMsgStrings::TMsgId msg);

    TMsgStrings MsgStrings;
    TLxCustomCommDevice* Device;
    bool OpenOnOk;
    TSavedState Saved;
};

} // namespace KestroComm32
