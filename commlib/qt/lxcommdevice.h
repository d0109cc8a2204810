// TLxCustomCommDevice, TLxCommDevice and TLxCommFrameSettings: a serial port and its package layer as one Qt component.
#pragma once

#include "comm32.h"
#include "comm32_package.h"

#include <QObject>

#include <atomic>
#include <memory>

class QWidget;

namespace KestroComm32 {

enum TBaudRate : int {
    br110 = 0,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
};

enum TParity : int { ptNoParity = 0, ptOddParity, ptEvenParity, ptMarkParity, ptSpaceParity };

enum TStopBits : int { sbOneStopBit = 0, sbOne_5_StopBits, sbTwoStopBit };

// The component's flow control; the port object counts in its own codes (TComm32::TFlowControl).
enum TFlowControl : int { fcNone = 0, fcRtsCts, fcXonXoff, fcTranXonXoff, fcRtsCtsXonXoff };

// The set of modem lines that are on: element n is bit (1 << n).
enum TModemStatusElement : int { msCTS = 0, msDSR, msRING, msRLSD };
using TModemStatus = unsigned char;

// Numeric baud of each TBaudRate ordinal.
unsigned long BaudRateValue(TBaudRate rate); // 115200 for an ordinal outside the table
TBaudRate BaudRateOf(unsigned long baud);    // br115200 for a number outside the table

// A view on a package layer's frame marks: reads and writes go straight to the layer. Made without
// a layer (as a caller's source for TLxCustomCommDevice::fSetFrameSettings) it keeps its own values.
class TLxCommFrameSettings : public TObject {
public:
    explicit TLxCommFrameSettings(TCommPackage* package = nullptr);

    unsigned char fGetFrameHead() const;
    void fSetFrameHead(unsigned char value);
    unsigned char fGetFrameTail() const;
    void fSetFrameTail(unsigned char value);
    unsigned char fGetFrameCtrl() const;
    void fSetFrameCtrl(unsigned char value);
    bool fGetDoubleFrameMark() const;
    void fSetDoubleFrameMark(bool value);

private:
    TCommPackage* Package;
    unsigned char OwnHead = TCommPackage::DefaultFrameHead;
    unsigned char OwnTail = TCommPackage::DefaultFrameTail;
    unsigned char OwnCtrl = TCommPackage::DefaultFrameCtrl;
    bool OwnDouble = false;
};

// All behaviour of the device component. The QObject owner (parent) destroys it. Properties are read
// with fGetX and written with fSetX. Handlers are set from the creating thread; with SyncEvents off
// they run on the library's worker threads, so set them while the port is closed.
class TLxCustomCommDevice : public QObject, public TObject {
    Q_OBJECT

public:
    explicit TLxCustomCommDevice(QObject* owner = nullptr);
    ~TLxCustomCommDevice() override;

    TLxCustomCommDevice(const TLxCustomCommDevice&) = delete;
    TLxCustomCommDevice& operator=(const TLxCustomCommDevice&) = delete;

    // Raw bytes, or packages when UsePackage is on; counts, never throws.
    virtual int Read(void* buffer, long count);
    virtual int Write(const void* buffer, long count);
    // Always the raw port: the NUL-terminated text into the send byte queue.
    virtual int Command(const char* text);
    // A whole package record (TCommPackageHead of PackageSize data bytes), for cptCompatiblePkg.
    virtual bool ReadPackage(void* package);
    virtual bool WritePackage(const void* package);
    // Always the package layer.
    virtual unsigned long ReadPackage(void* buffer, unsigned long size);
    virtual unsigned long WritePackage(const void* buffer, unsigned long size);
    virtual void PurgeRead(bool abort);
    virtual void PurgeWrite(bool abort);
    // The port settings dialog, modal; true when the user left it with OK.
    virtual bool SettingsDialog(QWidget* owner, bool openOnOk);
    virtual int ResetModem();
    virtual int InitModem();
    virtual bool EscapeCommFunction(unsigned long function);
    // Where a derived class takes the notifications; the base versions call the handlers.
    virtual void EvCommNotify(TObject* Sender, int NotifyType);
    virtual void EvPackageNotify(TObject* Sender, int NotifyType);
    virtual void EvAfterOpen(TObject* Sender);
    virtual void EvBeforeClose(TObject* Sender);

    // Published properties.
    int fGetPortNo() const { return Comm->fGetPortNo(); }
    void fSetPortNo(int value) { Comm->fSetPort(value); }
    UnicodeString fGetPortName() const { return Comm->fGetPortName(); }
    void fSetPortName(const UnicodeString& value) { Comm->fSetPortName(value); }
    TBaudRate fGetBaud() const;
    void fSetBaud(TBaudRate value);
    TParity fGetParity() const;
    void fSetParity(TParity value);
    int fGetByteSize() const { return Comm->fGetByteSize(); }
    void fSetByteSize(int value);
    TStopBits fGetStopBits() const;
    void fSetStopBits(TStopBits value);
    TFlowControl fGetFlowControl() const;
    void fSetFlowControl(TFlowControl value);
    int fGetAutoAnswer() const { return Comm->fGetAAns(); }
    void fSetAutoAnswer(int value);
    bool fGetSyncEvents() const { return SyncEvents.load(); }
    void fSetSyncEvents(bool value) { SyncEvents.store(value); }
    bool fGetDataOnly() const { return Comm->fGetDataOnly(); }
    void fSetDataOnly(bool value) { Comm->fSetDataOnly(value); }
    long fGetInBufSize() const { return Comm->fGetInBufSize(); }
    bool fSetInBufSize(long value) { return Comm->fSetInBufSize(value); } // false: refused while open
    long fGetOutBufSize() const { return Comm->fGetOutBufSize(); }
    bool fSetOutBufSize(long value) { return Comm->fSetOutBufSize(value); }
    long fGetHwInSize() const { return Comm->fGetHwInSize(); }
    void fSetHwInSize(long value) { Comm->fSetHwInSize(value); }
    long fGetHwOutSize() const { return Comm->fGetHwOutSize(); }
    void fSetHwOutSize(long value) { Comm->fSetHwOutSize(value); }
    long fGetQueueSize() const { return Package->QSize(); }
    void fSetQueueSize(long value) { Package->fSetQSize(value); }
    long fGetPackageSize() const { return Package->PkgSz(); }
    void fSetPackageSize(long value) { Package->fSetPkgSz(value); }
    TCommPackageType fGetPackageType() const { return Package->PkgType(); }
    void fSetPackageType(TCommPackageType value) { Package->fSetPkgType(value); }
    long fGetPackageInterval() const { return Package->PkgInterval(); }
    void fSetPackageInterval(long value) { Package->fSetPkgInterval(value); }
    bool fGetUsePackage() const { return UsePackage; }
    void fSetUsePackage(bool value);
    TLxCommFrameSettings* fGetFrameSettings() const { return FrameSettings.get(); }
    // Copies head, tail and control byte from source; DoubleFrameMark stays.
    void fSetFrameSettings(const TLxCommFrameSettings* source);

    TCommNotifyEvent OnPackage;
    TCommNotifyEvent OnCommNotify;
    TNotifyEvent AfterOpen;
    TNotifyEvent BeforeClose;

    // Public properties.
    bool fGetActive() const;
    void fSetActive(bool value); // throws EComm32Error when the port cannot be opened or closed
    THandle fGetHandle() const { return Comm->fGetHandle(); }
    TCommQueue* fGetInQueue() const { return Comm->InQueue; }
    TCommQueue* fGetOutQueue() const { return Comm->OutQueue; }
    TModemStatus fGetModemStatus() const;
    bool fGetDisableWrite() const { return Comm->DisableWrite.load(); }
    void fSetDisableWrite(bool value) { Comm->DisableWrite.store(value); }
    bool fGetDTR() const { return Comm->fGetDTR(); }
    void fSetDTR(bool value) { Comm->fSetDTR(value); }
    bool fGetRTS() const { return Comm->fGetRTS(); }
    void fSetRTS(bool value) { Comm->fSetRTS(value); }
    bool fGetCTS() const { return Comm->fGetCTS(); }
    bool fGetDSR() const { return Comm->fGetDSR(); }
    bool fGetRING() const { return Comm->fGetRING(); }
    bool fGetRLSD() const { return Comm->fGetRLSD(); }

    // The component is being edited in a designer (the settings dialog then shows About and Default).
    bool fGetDesigning() const { return Designing; }
    void fSetDesigning(bool value) { Designing = value; }

    // The objects the device owns, for the settings dialog and for tests.
    TComm32* fGetComm32() const { return Comm.get(); }
    TCommPackage* fGetPackage() const { return Package.get(); }

private:
    void PortHook(TObject* sender, int mask);
    void PackageHook(TObject* sender, int mask);
    void Post(TObject* sender, int mask, bool package);

    std::unique_ptr<TComm32> Comm;
    std::unique_ptr<TCommPackage> Package;
    std::unique_ptr<TLxCommFrameSettings> FrameSettings;
    bool UsePackage = false;
    std::atomic<bool> SyncEvents{true};
    bool Designing = false;
    // Cleared when destruction starts: hooks then do nothing, and queued notifications are dropped.
    std::shared_ptr<std::atomic<bool>> Alive;
};

// The class applications instantiate.
class TLxCommDevice : public TLxCustomCommDevice {
    Q_OBJECT

public:
    explicit TLxCommDevice(QObject* owner = nullptr);
};

} // namespace KestroComm32
