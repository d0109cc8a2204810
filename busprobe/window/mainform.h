// TForm1: the debugging assistant's main window with its request groups, logs and receive timer.
#pragma once

#include "exchange_record.h"
#include "receive_loop.h"
#include "settings_file.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

class QComboBox;
class QGroupBox;
class QSpinBox;
class QTableView;
class TRecordModel;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace KestroComm32 {
class TLxCommDevice;
}

class TForm1 : public QWidget {
    Q_OBJECT

public:
    // Reads port and speed, then the edits, from the settings file; the port stays closed.
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Folder that holds modbus_cfg.ini when it is writable; empty means the executable's folder.
    static QString ExecutableFolder;
    // The save dialog (owner, caption, filter) giving the chosen path or empty; tests put their own here.
    static std::function<QString(QWidget*, const QString&, const QString&)> SaveFileName;

    // Unit routines; the window is their one user.
    void SendData(const std::uint8_t* bytes, std::uint8_t count);
    bool ReceiveByte(std::uint8_t& byte);
    // Blocks until a received byte may be there or ms have passed.
    void WaitForByte(std::uint32_t ms);
    void ShowReceiveData(const std::uint8_t* bytes, int count);
    void DecodeReceiveData(const std::uint8_t* bytes, int count);
    int AsciiToHex(char ch) const;
    int AnsiStrToChars(const QString& text, std::uint8_t* buffer, int bufferSize) const;

    // Controls by their designer names.
    QGroupBox* GroupBox1;
    QPushButton* Button1;
    QPushButton* Button4;
    QPushButton* Button6;
    QLabel* LabelPort;
    QGroupBox* GroupBox6;
    QLineEdit* Edit01_485Addr;
    QLineEdit* Edit01_RegAddr;
    QLineEdit* Edit01_RegNum;
    QLineEdit* Edit01_RegValue;
    QPushButton* ButtonSend_01;
    QGroupBox* GroupBox7;
    QLineEdit* Edit02_485Addr;
    QLineEdit* Edit02_RegAddr;
    QLineEdit* Edit02_RegNum;
    QLineEdit* Edit02_RegValue;
    QPushButton* ButtonSend_02;
    QGroupBox* GroupBox2;
    QLineEdit* Edit03_485Addr;
    QLineEdit* Edit03_RegAddr;
    QLineEdit* Edit03_RegNum;
    QLineEdit* Edit03_RegValue;
    QPushButton* ButtonSend_03;
    QGroupBox* GroupBox8;
    QLineEdit* Edit04_485Addr;
    QLineEdit* Edit04_RegAddr;
    QLineEdit* Edit04_RegNum;
    QLineEdit* Edit04_RegValue;
    QPushButton* ButtonSend_04;
    QGroupBox* GroupBox9;
    QLineEdit* Edit05_485Addr;
    QLineEdit* Edit05_RegAddr;
    QLineEdit* Edit05_RegValue;
    QPushButton* ButtonSend_05;
    QGroupBox* GroupBox3;
    QLineEdit* Edit06_485Addr;
    QLineEdit* Edit06_RegAddr;
    QLineEdit* Edit06_RegValue;
    QPushButton* ButtonSend_06;
    QGroupBox* GroupBox4;
    QLineEdit* Edit10_485Addr;
    QLineEdit* Edit10_RegAddr;
    QLineEdit* Edit10_RegValue;
    QPushButton* ButtonSend_10;
    QGroupBox* GroupBox5;
    QLineEdit* EditSend;
    QPushButton* ButtonSend;
    QPushButton* ButtonSendWithCRC;
    QLabel* Label6;
    QPlainTextEdit* MemoSend;
    QPushButton* ButtonClrSendData;
    QLabel* Label28;
    QPlainTextEdit* MemoReceive;
    QPushButton* ButtonClrReceiveData;
    QLabel* Label27;
    KestroComm32::TLxCommDevice* LxCommDevice1;
    QTimer* Timer1;

    // The exchange record beside the seed's controls: a pane right of them that the window grows to show
    // (ButtonRecord, or a wider window). Its controls exist from the first showing on.
    QPushButton* ButtonRecord;
    QWidget* PanelRecord = nullptr;
    QSpinBox* SpinReplyTimeout = nullptr;
    QLabel* LabelCounters = nullptr;
    QPushButton* ButtonResetCounters = nullptr;
    QPushButton* ButtonClearRecord = nullptr;
    QPushButton* ButtonSaveRecord = nullptr;
    QPushButton* ButtonSaveMemos = nullptr;
    // Per read group, 01H to 04H: number format of the result edit, repeat period and its start/stop.
    std::array<QComboBox*, 4> ComboFormat{};
    std::array<QSpinBox*, 4> SpinRepeat{};
    std::array<QPushButton*, 4> ButtonRepeat{};
    QTableView* ViewRecord = nullptr;
    TRecordModel* RecordModel = nullptr;
    // Runs the receive loop and the repeats often while a reply is awaited or a group repeats.
    QTimer* TimerExchange;

    // Owned by the window, changed on the GUI thread only.
    Busprobe::TExchangeRecord Record;
    Busprobe::TRecordSettings RecordSettings;

    void ShowRecordPane(bool show);
    bool RecordPaneShown() const;
    bool Repeating(int group) const { return RepeatOn[static_cast<std::size_t>(group)]; }

public slots:
    void Button1Click();
    void Button4Click();
    void Button6Click();
    void ButtonSend_01Click();
    void ButtonSend_02Click();
    void ButtonSend_03Click();
    void ButtonSend_04Click();
    void ButtonSend_05Click();
    void ButtonSend_06Click();
    void ButtonSend_10Click();
    void ButtonSendClick();
    void ButtonSendWithCRCClick();
    void ButtonClrSendDataClick();
    void ButtonClrReceiveDataClick();
    void Timer1Timer();
    void ButtonRecordClick();
    void ButtonResetCountersClick();
    void ButtonClearRecordClick();
    void ButtonSaveRecordClick();
    void ButtonSaveMemosClick();
    void ButtonRepeatClick(int group);
    void TimerExchangeTimer();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The controls, one group at a time, in the tab order.
    void CreateControls();
    void CreatePortGroup();
    void CreateReadGroups();
    void CreateWriteGroups();
    void CreateFreeFormGroup();
    void CreateLogs();
    void CreateVersionLabel();
    void ConnectButtons();
    void FormCreate();
    void FormClose();
    void RefreshLabelPort();
    // The settings file saved to, or the one read from (beside the program until the user has one).
    QString SettingsPath(bool forSaving) const;
    // A group's send: port check, frame, send, and for read groups the result edit cleared to " ".
    // False when nothing went out.
    bool SendGroup(std::uint8_t functionCode, QLineEdit* addr, QLineEdit* reg, QLineEdit* numOrValue,
                   QLineEdit* result);
    void SendFreeForm(bool withCrc);
    // The plain box that shows a library exception's text (information icon); informative: a second,
    // smaller paragraph under the text.
    void ShowMessage(const QString& text, const QString& informative = QString());
    // The application's error box (conversion and file errors).
    void ShowError(const QString& text);
    static void AddLine(QPlainTextEdit* memo, const QString& line);

    void CreateRecordPane();
    void LayOutRecordPane();
    void RecordChanged();
    void StopRepeats();
    void SetRepeat(int group, bool on);
    // Whether the last SendData went out whole.
    bool LastSendWentOut = false;

    std::uint8_t RecvBuffer[Busprobe::RecvBufferSize] = {};
    std::array<bool, 4> RepeatOn{};
    std::array<std::uint32_t, 4> RepeatLastTick{};
    // Quantity of each read group's last request, for the bits format.
    std::array<int, 4> LastQuantity{};
};
