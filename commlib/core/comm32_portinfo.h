// TCommSerialPortInfo: the machine's serial ports as a sorted list of names, and name <-> number.
#pragma once

#include "comm32_types.h"

#include <vector>

namespace KestroComm32 {

// A small owned list of strings in the framework's style: Count, Strings[i], Add, Clear, CustomSort.
// It does not sort by itself and keeps duplicates.
class TStringList {
public:
    using TCompare = int (*)(TStringList* list, int index1, int index2);

    int Count() const { return static_cast<int>(Items.size()); }
    const UnicodeString& Strings(int index) const { return Items.at(static_cast<std::size_t>(index)); }
    const UnicodeString& operator[](int index) const { return Strings(index); }
    int Add(const UnicodeString& s);
    void Clear() { Items.clear(); }
    // Stable sort by compare (negative: the entry at index1 goes first), so equal entries keep
    // their order. The compare sees the list as it was when the sort began.
    void CustomSort(TCompare compare);

private:
    std::vector<UnicodeString> Items;
};

// What one port of the list is, for a person choosing between them.
struct TPortDetails {
    UnicodeString Name;
    UnicodeString DevicePath; // what the name opens; for a COMn alias, the device its link leads to
    UnicodeString AliasLink;  // for a COMn alias with a link: the link in the port map
    UnicodeString Driver;     // the kernel driver, where sysfs names one
    UnicodeString VendorId, ProductId, Manufacturer, Product, SerialNumber; // USB, where known
    bool FollowsSocket = false; // a COMn alias made for an adapter without a serial number
    UnicodeString NotNumbered;  // why the automatic numbering could not give the port a COMn
    UnicodeString NotFollowed;  // why a COMn link is not followed (its folder or its owner)
    int BrlttyPid = 0;          // brltty runs and takes adapters of this kind (BrlttyUsbId) for itself
    UnicodeString BrlttyUsbId;

    // Lines: the device path ("COM7 → /dev/ttyUSB0" for an alias) with the driver, the USB ids with
    // maker and product, the serial number, "number follows the USB socket", "not numbered: <why>",
    // "not followed: <why>", brltty with its fix.
    // Names and numbers only, the same in every language.
    UnicodeString ToolTip() const;
};

class TCommSerialPortInfo {
public:
    TCommSerialPortInfo(); // builds the list (Refresh)
    virtual ~TCommSerialPortInfo() = default;

    // Port names in PortListSortCompare order: COMn first by n, then the other names ordinally.
    TStringList PortList;

    // Numbers new devices (NumberNewPorts), then rebuilds PortList from the system; COM1..COM4 when
    // the system names no port at all.
    void Refresh();

    // The one step that writes: a device with a stable name that no alias of the port map points at
    // is given the lowest free COMn from COM3 up, as a link to that name, under a lock on the port
    // map folder (comm32_portnumbers.h; off with COMPORTS_AUTO=0). Nothing on Windows.
    static void NumberNewPorts();

    // Replaces PortList by the system's ports, sorted: every /sys/class/tty entry backed by a real
    // device (by its /dev name, serial8250 placeholders without a UART skipped) and the COMn aliases
    // of the port map directory whose target exists (where the folder and the link may be followed).
    // Reads only. Returns 0, or the errno of opening the tty class directory when that failed and no
    // alias was found either, in which case PortList is untouched.
    long ListFromSystem();

    // The number in "COM<decimal>" (case-insensitive head, leading blanks and a sign allowed before
    // the digits, nothing after them), else 0; negative and out-of-range numbers give 0.
    static int PortNo(const UnicodeString& name);
    // "COM<n>" for n > 0, else empty.
    static UnicodeString PortName(int n);
    static int PortListSortCompare(TStringList* list, int index1, int index2);
    // What the port of a name is: its device (following a COMn alias of the port map) and what
    // sysfs (under SysfsRoot) tells of it.
    static TPortDetails Details(const UnicodeString& name);

    // Where the COMn aliases live: $COMPORTS_DIR, else $XDG_CONFIG_HOME/comports, else
    // $HOME/.config/comports.
    static UnicodeString PortMapDir();
    // Root of the sysfs tree to walk ("/sys" unless a test points it elsewhere; empty restores it).
    static void SetSysfsRoot(const UnicodeString& root);
    static UnicodeString SysfsRoot();
    // Root of the by-id and by-path links of serial devices ("/dev/serial" unless a test points it
    // elsewhere; empty restores it). Its parent stands for /dev: a device's node is <parent>/<dev name>.
    static void SetSerialRoot(const UnicodeString& root);
    static UnicodeString SerialRoot();
    // Root of the process tree ("/proc" unless a test points it elsewhere; empty restores it).
    static void SetProcRoot(const UnicodeString& root);
    static UnicodeString ProcRoot();
};

} // namespace KestroComm32
