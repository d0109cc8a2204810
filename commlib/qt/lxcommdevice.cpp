// The device component: property mappings, routing to port or package layer, notifications on the creating thread.
#include "lxcommdevice.h"

#include "lxcommdevice_settings.h"

#include <QMetaObject>

#include <cstdio>

namespace KestroComm32 {

namespace {

constexpr unsigned long BaudTable[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                       19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr int BaudCount = sizeof BaudTable / sizeof BaudTable[0];

// Port flow-control code of each TFlowControl ordinal.
constexpr int FlowCodes[] = {0, 3, 4, 5, 6};

constexpr int ModemLineBits[] = {0x10, 0x20, 0x40, 0x80}; // MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON

unsigned char ClampByte(int value) { return static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value); }

} // namespace

unsigned long BaudRateValue(TBaudRate rate)
{
    const int i = static_cast<int>(rate);
    return i >= 0 && i < BaudCount ? BaudTable[i] : 115200;
}

TBaudRate BaudRateOf(unsigned long baud)
{
    for (int i = 0; i < BaudCount; ++i)
        if (BaudTable[i] == baud) return static_cast<TBaudRate>(i);
    return br115200;
}

// ---------------------------------------------------------------------------------------------
// TLxCommFrameSettings

TLxCommFrameSettings::TLxCommFrameSettings(TCommPackage* package) : Package(package) {}

unsigned char TLxCommFrameSettings::fGetFrameHead() const { return Package ? Package->FrameHead.load() : OwnHead; }

void TLxCommFrameSettings::fSetFrameHead(unsigned char value)
{
    if (Package) Package->FrameHead.store(value);
    else OwnHead = value;
}

unsigned char TLxCommFrameSettings::fGetFrameTail() const { return Package ? Package->FrameTail.load() : OwnTail; }

void TLxCommFrameSettings::fSetFrameTail(unsigned char value)
{
    if (Package) Package->FrameTail.store(value);
    else OwnTail = value;
}

unsigned char TLxCommFrameSettings::fGetFrameCtrl() const { return Package ? Package->FrameCtrl.load() : OwnCtrl; }

void TLxCommFrameSettings::fSetFrameCtrl(unsigned char value)
{
    if (Package) Package->FrameCtrl.store(value);
    else OwnCtrl = value;
}

bool TLxCommFrameSettings::fGetDoubleFrameMark() const { return Package ? Package->DblFrameMark() : OwnDouble; }

void TLxCommFrameSettings::fSetDoubleFrameMark(bool value)
{
    if (Package) Package->fSetDblFrameMark(value);
    else OwnDouble = value;
}

// ---------------------------------------------------------------------------------------------
// TLxCustomCommDevice: life cycle

TLxCustomCommDevice::TLxCustomCommDevice(QObject* owner)
    : QObject(owner), Alive(std::make_shared<std::atomic<bool>>(true))
{
    Comm = std::make_unique<TComm32>();
    Comm->OnNotify = [this](TObject* sender, int mask) { PortHook(sender, mask); };
    Comm->OnAfterOpen = [this](TObject* sender) {
        if (Alive->load()) EvAfterOpen(sender);
    };
    Comm->OnBeforeClose = [this](TObject* sender) {
        if (Alive->load()) EvBeforeClose(sender);
    };
    Package = std::make_unique<TCommPackage>(Comm.get());
    Package->fSetOnNotify([this](TObject* sender, int mask) { PackageHook(sender, mask); });
    FrameSettings = std::make_unique<TLxCommFrameSettings>(Package.get());
}

TLxCustomCommDevice::~TLxCustomCommDevice()
{
    Package->fSetOnNotify(nullptr);
    Package->fSetActive(false);
    // The hooks go quiet first (BeforeClose does not fire); the port's handlers are cleared only once
    // its threads have stopped, so no thread sees a handler change under it.
    Alive->store(false);
    try {
        Comm->fSetActive(false);
    } catch (...) {}
    Comm->OnBeforeClose = nullptr;
    Comm->OnAfterOpen = nullptr;
    Comm->OnNotify = nullptr;
    FrameSettings.reset();
    Package.reset();
    Comm.reset();
}

// ---------------------------------------------------------------------------------------------
// Notifications

void TLxCustomCommDevice::Post(TObject* sender, int mask, bool package)
{
    // Queued onto this object's thread in posting order; Qt drops what is still queued when the
    // object is destroyed, and the alive token covers anything that runs during destruction.
    std::shared_ptr<std::atomic<bool>> alive = Alive;
    QMetaObject::invokeMethod(
        this,
        [this, alive, sender, mask, package] {
            if (!alive->load()) return;
            try {
                if (package) EvPackageNotify(sender, mask);
                else EvCommNotify(sender, mask);
            } catch (...) {}
        },
        Qt::QueuedConnection);
}

void TLxCustomCommDevice::PortHook(TObject* sender, int mask)
{
    if (!Alive->load()) return;
    if (SyncEvents.load()) Post(sender, mask, false);
    else EvCommNotify(sender, mask);
}

void TLxCustomCommDevice::PackageHook(TObject* sender, int mask)
{
    if (!Alive->load()) return;
    if (SyncEvents.load()) Post(sender, mask, true);
    else EvPackageNotify(sender, mask);
}

void TLxCustomCommDevice::EvCommNotify(TObject*, int NotifyType)
{
    if (OnCommNotify) OnCommNotify(this, NotifyType);
}

void TLxCustomCommDevice::EvPackageNotify(TObject*, int NotifyType)
{
    if (OnPackage) OnPackage(this, NotifyType);
}

void TLxCustomCommDevice::EvAfterOpen(TObject*)
{
    if (AfterOpen) AfterOpen(this);
}

void TLxCustomCommDevice::EvBeforeClose(TObject*)
{
    if (BeforeClose) BeforeClose(this);
}

// ---------------------------------------------------------------------------------------------
// Transfer

int TLxCustomCommDevice::Read(void* buffer, long count)
{
    if (UsePackage) {
        // A negative count would read as a huge size and overrun the caller's buffer.
        if (count < 0) return 0;
        return static_cast<int>(Package->ReadPackage(buffer, static_cast<unsigned long>(count)));
    }
    return Comm->Read(buffer, count);
}

int TLxCustomCommDevice::Write(const void* buffer, long count)
{
    if (UsePackage) {
        if (count < 0) return 0;
        return static_cast<int>(Package->WritePackage(buffer, static_cast<unsigned long>(count)));
    }
    return Comm->Write(buffer, count);
}

int TLxCustomCommDevice::Command(const char* text) { return Comm->Command(text); }

bool TLxCustomCommDevice::ReadPackage(void* package) { return Package->ReadPackage(package, 0) != 0; }

bool TLxCustomCommDevice::WritePackage(const void* package) { return Package->WritePackage(package, 0) != 0; }

unsigned long TLxCustomCommDevice::ReadPackage(void* buffer, unsigned long size)
{
    return Package->ReadPackage(buffer, size);
}

unsigned long TLxCustomCommDevice::WritePackage(const void* buffer, unsigned long size)
{
    return Package->WritePackage(buffer, size);
}

void TLxCustomCommDevice::PurgeRead(bool abort)
{
    if (UsePackage) Package->PurgeRead();
    else Comm->PurgeRead(abort);
}

void TLxCustomCommDevice::PurgeWrite(bool abort)
{
    if (UsePackage) Package->PurgeWrite();
    else Comm->PurgeWrite(abort);
}

// The modem commands go through Command here so that the number of bytes accepted comes back.
int TLxCustomCommDevice::ResetModem() { return Comm->Command(TComm32::Str_ResetModem); }

int TLxCustomCommDevice::InitModem()
{
    char text[64];
    std::snprintf(text, sizeof text, TComm32::Fmt_InitModem, Comm->fGetFCtrl(), static_cast<int>(Comm->fGetAAns()));
    return Comm->Command(text);
}

bool TLxCustomCommDevice::SettingsDialog(QWidget* owner, bool openOnOk)
{
    TForm_LxCommDevice_Settings dialog(owner, this, openOnOk);
    return dialog.exec() == QDialog::Accepted;
}

bool TLxCustomCommDevice::EscapeCommFunction(unsigned long function) { return Comm->EscapeCommFunction(function); }

// ---------------------------------------------------------------------------------------------
// Properties

bool TLxCustomCommDevice::fGetActive() const
{
    if (!UsePackage) return Comm->fGetActive();
    return Package->Active() && Comm->fGetActive();
}

void TLxCustomCommDevice::fSetActive(bool value)
{
    const bool target = UsePackage ? value : false;
    if (value != Comm->fGetActive()) Comm->fSetActive(value);
    if (target != Package->Active()) Package->fSetActive(target);
}

void TLxCustomCommDevice::fSetUsePackage(bool value)
{
    const bool active = fGetActive();
    UsePackage = value;
    fSetActive(active);
}

TBaudRate TLxCustomCommDevice::fGetBaud() const { return BaudRateOf(Comm->fGetBaud()); }

void TLxCustomCommDevice::fSetBaud(TBaudRate value) { Comm->fSetBaud(BaudRateValue(value)); }

TParity TLxCustomCommDevice::fGetParity() const
{
    const int code = Comm->fGetParity();
    return code <= ptSpaceParity ? static_cast<TParity>(code) : ptNoParity;
}

void TLxCustomCommDevice::fSetParity(TParity value)
{
    const int v = static_cast<int>(value);
    Comm->fSetParity(static_cast<unsigned char>(v >= ptNoParity && v <= ptSpaceParity ? v : 0));
}

void TLxCustomCommDevice::fSetByteSize(int value) { Comm->fSetByteSize(ClampByte(value)); }

TStopBits TLxCustomCommDevice::fGetStopBits() const
{
    const int code = Comm->fGetStopBits();
    return code <= sbTwoStopBit ? static_cast<TStopBits>(code) : sbOneStopBit;
}

void TLxCustomCommDevice::fSetStopBits(TStopBits value)
{
    const int v = static_cast<int>(value);
    Comm->fSetStopBits(static_cast<unsigned char>(v >= sbOneStopBit && v <= sbTwoStopBit ? v : 0));
}

TFlowControl TLxCustomCommDevice::fGetFlowControl() const
{
    const int code = Comm->fGetFCtrl();
    for (int i = 0; i < 5; ++i)
        if (FlowCodes[i] == code) return static_cast<TFlowControl>(i);
    return fcNone;
}

void TLxCustomCommDevice::fSetFlowControl(TFlowControl value)
{
    const int v = static_cast<int>(value);
    Comm->fSetFCtrl(v >= fcNone && v <= fcRtsCtsXonXoff ? FlowCodes[v] : 0);
}

void TLxCustomCommDevice::fSetAutoAnswer(int value) { Comm->fSetAAns(ClampByte(value)); }

void TLxCustomCommDevice::fSetFrameSettings(const TLxCommFrameSettings* source)
{
    if (!source || source == FrameSettings.get()) return;
    FrameSettings->fSetFrameHead(source->fGetFrameHead());
    FrameSettings->fSetFrameTail(source->fGetFrameTail());
    FrameSettings->fSetFrameCtrl(source->fGetFrameCtrl());
}

TModemStatus TLxCustomCommDevice::fGetModemStatus() const
{
    const std::uint32_t word = Comm->ModemStatus.load();
    TModemStatus set = 0;
    for (int i = 0; i < 4; ++i)
        if (word & ModemLineBits[i]) set |= static_cast<TModemStatus>(1u << i);
    return set;
}

// ---------------------------------------------------------------------------------------------
// TLxCommDevice

TLxCommDevice::TLxCommDevice(QObject* owner) : TLxCustomCommDevice(owner) {}

} // namespace KestroComm32
