// Test helper: USB adapters plugged into and out of a fake sysfs and a fake /dev with its serial/by-id and by-path links.
#pragma once

#include "fake_usb_sysfs.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace fakesys {

// The by-id name udev gives the adapter's first port: maker, product and serial number (left out
// when the adapter has none, so two such adapters of a model share the name).
inline std::string ByIdName(const TUsbTty& t)
{
    std::string id =
        "usb-" + t.Manufacturer + "_" + t.Product + (t.Serial.empty() ? "" : "_" + t.Serial) + "-if00-port0";
    for (char& c : id)
        if (c == ' ') c = '_';
    return id;
}

// The by-path name of the USB socket the adapter sits in ("1-2" is socket 2 of bus 1).
inline std::string ByPathName(const TUsbTty& t)
{
    return "pci-0000:00:14.0-usb-0:" + t.UsbDevice.substr(t.UsbDevice.find('-') + 1) + ":1.0-port0";
}

// A fake machine under root: sysfs in root/sys, /dev in root/dev, its serial tree in root/dev/serial
// (the roots handed to TCommSerialPortInfo::SetSysfsRoot and SetSerialRoot).
struct TFakeMachine {
    std::filesystem::path Root;

    std::filesystem::path Sys() const { return Root / "sys"; }
    std::filesystem::path Dev() const { return Root / "dev"; }
    std::filesystem::path Serial() const { return Root / "dev" / "serial"; }

    // Plugs the adapter in as udev would: sysfs entries, the node dev/<tty> (a plain file, or a link
    // to node when one is given, such as a pty), by-id (when it has a maker) and by-path links.
    void Plug(const TUsbTty& t, const std::string& node = "") const
    {
        namespace fs = std::filesystem;
        AddUsbTty(Sys(), t);
        fs::create_directories(Serial() / "by-id");
        fs::create_directories(Serial() / "by-path");
        const fs::path devNode = Dev() / t.Tty;
        fs::remove(devNode);
        if (node.empty()) std::ofstream(devNode) << "";
        else fs::create_symlink(node, devNode);
        const fs::path byId = Serial() / "by-id" / ByIdName(t);
        if (!t.Manufacturer.empty()) {
            fs::remove(byId);
            fs::create_symlink("../../" + t.Tty, byId);
        }
        const fs::path byPath = Serial() / "by-path" / ByPathName(t);
        fs::remove(byPath);
        fs::create_symlink("../../" + t.Tty, byPath);
    }

    // Takes the adapter out again: what Plug made, except a by-id link another adapter took over.
    void Unplug(const TUsbTty& t) const
    {
        namespace fs = std::filesystem;
        fs::remove_all(Sys() / "class" / "tty" / t.Tty);
        fs::remove_all(Sys() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / t.UsbDevice);
        fs::remove(Dev() / t.Tty);
        for (const fs::path& link : {Serial() / "by-id" / ByIdName(t), Serial() / "by-path" / ByPathName(t)}) {
            std::error_code ec;
            if (fs::read_symlink(link, ec) == fs::path("../../" + t.Tty)) fs::remove(link);
        }
    }
};

} // namespace fakesys
