// COrmetMasterDlg: the main window with the six displays, the operation buttons and their workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "analogdisplay.h"
#include "dlgsupport.h"
#include "modbusrtu.h"

class QLabel;
class QPushButton;

class COrmetMasterDlg : public CTemplateDialog {
    Q_OBJECT
public:
    enum {
        IDD = 102,
        IDC_DISPLAY_VOLTAGE = 1000,
        IDC_DISPLAY_CURRENT = 1001,
        IDC_DISPLAY_POWER = 1004,
        IDC_DISPLAY_ENERGY = 1005,
        IDC_DISPLAY_FREQUENCY = 1006,
        IDC_DISPLAY_POWER_FACTOR = 1007,
        IDC_BUTTON_MEASURE = 1002,
        IDC_BUTTON_COMSET = 1003,
        IDC_BUTTON_CLEAR_ENERGY = 3,
        IDC_BUTTON_PARAMETER = 4,
        IDC_BUTTON_CALIBRATE = 6,
        IDC_BUTTON_INNER_PARAMETER = 7,
        IDC_BUTTON_EXIT = 2,
        IDC_STATUS = 1034
    };
    static constexpr int ReconnectWaitMs = 1000;
    static constexpr int PollWaitMs = 500;
    static constexpr int FailuresToStop = 3;

    explicit COrmetMasterDlg(QWidget* parent = nullptr);
    ~COrmetMasterDlg() override;

    // Commands of the buttons.
    void OnComSet();
    void OnMeasure();
    void OnClearEnergy();
    void OnParameterSet();
    void OnCalibrate();
    void OnInnerParameterSet();
    // What OK in 通信设置 does to this window: takes the port and speed, enables the operations.
    void ApplyComSet(std::uint8_t port, std::uint16_t baud);

    // Enables or disables 通信设置, 开始测量, 清零电量, 参数设置, 校准 and 退出 (never 系数设置).
    void SetButtonsEnabled(bool enabled);
    // Puts one measurement into the six displays; callable from the worker.
    void UpdateDisplays(const MeasurementData& data);

    // True from the start of an operation's worker until it has handed back the buttons.
    bool IsWorkerRunning() const { return m_workerBusy.load(); }
    std::uint8_t Port() const { return m_nPort; }
    std::uint16_t Baud() const { return m_nBaud; }

    CIanalogdisplayx m_Voltage, m_Current, m_Power, m_Energy, m_Frequency, m_PowerFactor;

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void OnInitDialog() override;

private:
    QPushButton* Button(int id) const;
    CAnalogDisplay* AddDisplay(CIanalogdisplayx& wrapper, int id, int x, int y, int w, int h, const char* units,
                               int precision);
    // Runs f on the user-interface thread and waits for it (directly when already there).
    void RunOnUi(const std::function<void()>& f);
    // Shows one of the operations' messages from the worker, owned by the main window.
    void Message(const char* text);
    // "打开串口失败!", with why the system refused the port in plain words under it.
    void OpenFailedMessage();
    // The status line under the displays: reads since 开始测量 and why the last one failed.
    void ShowMeasureStatus(int good, int failed, const std::string& lastFailure);
    // Why a measurement read failed, from its result and the link's received count before it.
    std::string ReadFailure(int result, std::uint64_t receivedBefore);
    // Starts body on a worker; done runs on the user-interface thread after it and frees the buttons.
    void StartWorker(std::function<void()> body, std::function<void()> done);
    void JoinWorker();
    // Runs one of the sequences below on a worker with the port settings of now, the buttons disabled meanwhile.
    using Sequence = void (COrmetMasterDlg::*)(std::uint8_t port, std::uint16_t baud);
    void StartSequence(Sequence sequence);

    void MeasureLoop(std::uint8_t port, std::uint16_t baud);
    void ClearEnergySequence(std::uint8_t port, std::uint16_t baud);
    void ParameterSequence(std::uint8_t port, std::uint16_t baud);
    void CalibrateSequence(std::uint8_t port, std::uint16_t baud);
    void InnerParameterSequence(std::uint8_t port, std::uint16_t baud);

    std::uint8_t m_nPort = 1;
    std::uint16_t m_nBaud = 9600;
    std::atomic<int> m_bRunning{0};
    CModBusRtu m_ModBus;

    std::thread m_worker;
    std::atomic<bool> m_workerBusy{false};
    std::atomic<bool> m_workerFinished{true};
    std::atomic<bool> m_closing{false}; // the window is going: workers show nothing more
};
