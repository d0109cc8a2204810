// TComm32: one serial port with a reader and a writer thread between the line and two byte queues.
#pragma once

#include "comm32_error.h"
#include "comm32_platform.h"
#include "comm32_queue.h"
#include "comm32_types.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace KestroComm32 {

// Handlers are set while the port is closed: the reader thread calls OnNotify without a lock.
// Write, Read, the purges and Close may be called from any thread.
class TComm32 : public TObject {
public:
    // The port's flow-control code, numbered like the modem command "&K": 0 none, 3 RTS/CTS,
    // 4 XON/XOFF, 5 transparent XON/XOFF (reads back as 4), 6 RTS/CTS and XON/XOFF.
    using TFlowControl = int;

    static constexpr const char* Str_ResetModem = "ATZ\r";
    static constexpr const char* Fmt_InitModem = "ATE0&K%dS0=%d\r";
    // What the reader listens for: everything it reports, or data events only.
    static constexpr std::uint32_t AllEventsMask = 0x05BF;
    static constexpr std::uint32_t DataOnlyMask = 0x0085;
    // Raised on open and close: the modem line states are new.
    static constexpr int ModemLinesChanged = 0x0038;

    TComm32();
    virtual ~TComm32();

    TComm32(const TComm32&) = delete;
    TComm32& operator=(const TComm32&) = delete;

    // Data transfer: counts, never throws, never blocks. Write into an idle open port hands the
    // driver the first chunk on the calling thread; the rest goes through OutQueue and the writer.
    virtual int Read(void* buffer, long count);
    virtual int Write(const void* buffer, long count);
    virtual int Command(const char* text);
    // Blocks until InQueue holds a byte (true), timeoutMs pass or the port is closed (false).
    bool WaitForData(std::uint32_t timeoutMs);
    virtual void PurgeRead(bool abort);
    virtual void PurgeWrite(bool abort);
    virtual void ResetModem();
    virtual void InitModem();
    virtual bool EscapeCommFunction(unsigned long function);
    // Throw EComm32Error on failure.
    virtual void Open();
    virtual void Close();
    // Call the handlers; whatever they throw is dropped.
    virtual void CommNotify(int mask);
    virtual void CommAfterOpen();
    virtual void CommBeforeClose();
    // The line errors (CE_ bits) the driver reported since the last call, which clears them; an
    // EV_ERR notification announces them (bytes the driver lost show as CE_OVERRUN or CE_RXOVER).
    std::uint32_t TakeLineErrors() { return LineErrors.exchange(0); }

    // Property accessors.
    int fGetPortNo() const { return PortNo; }
    void fSetPort(int n);
    const UnicodeString& fGetPortName() const { return PortName; }
    void fSetPortName(const UnicodeString& name);
    THandle fGetHandle() const { return Handle; }
    void fSetHandle(THandle h);
    bool fGetActive() const { return Active; }
    void fSetActive(bool v);
    unsigned long fGetBaud() const { return Dcb.BaudRate; }
    void fSetBaud(unsigned long baud);
    unsigned char fGetParity() const { return Dcb.Parity; }
    void fSetParity(unsigned char parity);
    unsigned char fGetByteSize() const { return Dcb.ByteSize; }
    void fSetByteSize(unsigned char size);
    unsigned char fGetStopBits() const { return Dcb.StopBits; }
    void fSetStopBits(unsigned char stopBits);
    TFlowControl fGetFCtrl() const;
    void fSetFCtrl(TFlowControl code);
    bool fGetDataOnly() const { return DataOnly; }
    void fSetDataOnly(bool v);
    bool fGetDTR() const;
    void fSetDTR(bool v);
    bool fGetRTS() const;
    void fSetRTS(bool v);
    bool fGetCTS() const;
    bool fGetDSR() const;
    bool fGetRING() const;
    bool fGetRLSD() const;
    long fGetInBufSize() const;
    // Resizing empties the queue; refused (no change, false) while the port is open, because the
    // threads use the storage without a lock. Throws EComm32Error(1) when storage cannot be had.
    bool fSetInBufSize(long n);
    long fGetOutBufSize() const;
    bool fSetOutBufSize(long n);
    long fGetHwInSize() const { return HwInSize; }
    void fSetHwInSize(long n);
    long fGetHwOutSize() const { return HwOutSize; }
    void fSetHwOutSize(long n);
    void fSetHwBufSize(long in, long out);
    unsigned char fGetAAns() const { return AutoAnswer; }
    void fSetAAns(unsigned char n);

    // The OS layer this object uses (the default one when constructed). Closes the port first.
    TCommPlatform* fGetPlatform() const { return Platform; }
    void fSetPlatform(TCommPlatform* platform);

    // Thread functions; the argument is the port object.
    static void _ReadThread(void* arg);
    static void _WriteThread(void* arg);

    // Public members the owner reads (and, for DisableWrite, writes) directly.
    std::atomic<bool> DisableWrite{false};
    TCommQueue* InQueue = nullptr;
    TCommQueue* OutQueue = nullptr;
    std::atomic<std::uint32_t> ModemStatus{0};

    TCommNotifyEvent OnNotify;
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnBeforeClose;

protected:
    THandle Handle = INVALID_HANDLE_VALUE;
    DCB Dcb;
    bool ExternalHandle = false;
    std::atomic<bool> Active{false};
    bool DTR = true;
    bool RTS = true;
    bool DataOnly = false;
    int PortNo = 2;
    UnicodeString PortName;
    long HwInSize = 1200;
    long HwOutSize = 1200;
    unsigned char AutoAnswer = 0;

    std::thread ReadThreadHandle;
    std::atomic<bool> ReadThreadRun{false};
    std::atomic<bool> ReadThreadAlive{false};
    std::thread WriteThreadHandle;
    std::atomic<bool> WriteThreadRun{false};
    std::atomic<bool> WriteThreadAlive{false};

private:
    TCommPlatform* Platform;
    // Owners: comm32.cpp says who holds what, at its top.
    std::mutex LifeLock;
    std::mutex Lock;
    // Under Lock.
    bool PortOpen = false; // callers may use Port
    // The open port, from Open until Close gives it back (a port the caller gave stays open).
    std::unique_ptr<TCommPort> Port;
    std::vector<char> Chunk; // the writer's chunk: ChunkSent of ChunkLen bytes are with the driver
    std::uint32_t ChunkLen = 0;
    std::uint32_t ChunkSent = 0;
    std::uint32_t SendChunk = 512; // the platform's SendChunkSize, fixed while open
    bool DriverHeld = false;       // CTS off: the driver holds a chunk, the rest stays queued
    bool TxEmptyOwed = false;      // a send-empty was passed over while the writer held bytes
    bool WriterKicked = false;     // a request, or CTS back, since the writer last waited
    std::condition_variable WriterWake;
    // Writes to the driver; changed under Lock, read by the reader before its wait.
    std::atomic<unsigned> Writes{0};
    // The reader found InQueue full and stopped listening for data: the driver holds the rest until
    // a Read or a purge makes room and gives the reader its mask back. Both sides exchange it.
    std::atomic<bool> RxStalled{false};
    std::atomic<std::uint32_t> ListenMask{0};
    std::atomic<std::uint32_t> LineErrors{0};
    // WaitForData's callers; the reader signals DataArrived only while there are any.
    std::atomic<int> DataWaiters{0};
    std::mutex DataLock;
    std::condition_variable DataArrived;
    void SignalDataWaiters();
    // Id of the reader thread while it runs, so Close called from a handler on it does not wait
    // for itself.
    std::atomic<std::thread::id> ReadThreadId{};
    // Bumped by every Open: a reader left behind by a Close from its own handler stops at once.
    std::atomic<unsigned> ThreadGen{0};
    // A reader that Close left behind when called from that reader's own handler; joined later.
    std::thread StaleReadThread;
    // Set by the destructor. The reader holds its own reference: destroyed from its own handler,
    // the object is gone when the handler returns, and the reader must leave without touching it.
    std::shared_ptr<std::atomic<bool>> Destroyed = std::make_shared<std::atomic<bool>>(false);

    bool TakeLife(std::unique_lock<std::mutex>& life);
    // The steps of Open; each returns 0 or the error code that ends the open.
    int CheckQueues() const;
    int OpenHandle(TSystemReason& reason);
    int ApplyLineSettings();
    int StartThreads();
    bool StartThread(std::thread& thread, std::atomic<bool>& run, std::atomic<bool>& alive, void (*body)(void*));
    // Stops and joins the threads, then releases the port; returns 0 or the close error.
    int StopAndRelease();

    void ReadThreadBody();
    bool ReaderRunning(unsigned gen) const;
    // Moves what the driver holds into InQueue while there is room; returns the events it found
    // (EV_RXCHAR for bytes moved, EV_ERR for line errors) and sets stalled when the queue filled.
    std::uint32_t ReceiveWaitingBytes(unsigned gen, bool& stalled);
    bool StallReceiving();
    void ResumeReceiving();
    void NoteLineErrors(std::uint32_t errors);
    // Modem lines, send-empty and line errors of a wait's mask; returns the mask to report.
    struct TSendLook {
        unsigned WritesBeforeWait = 0;
        bool Asked = false;      // the writer asked for this look
        unsigned ReportedAt = 0; // Writes when EV_TXEMPTY was last reported
    };
    std::uint32_t TakeLineEvents(std::uint32_t mask, TSendLook& look);
    bool SendDone(const TSendLook& look, std::uint32_t& errors);
    void WriteThreadBody();
    TIoResult WriteToDriver(const char* bytes, std::uint32_t count, std::uint32_t& done);
    bool SendHeldByCts() const;
    void WakeWriter();
    bool WaitWriteRequest(std::unique_lock<std::mutex>& hold);
    void ReleaseOsResources();
    void JoinStaleReader();
    void LeaveHandleMode();
};

} // namespace KestroComm32
