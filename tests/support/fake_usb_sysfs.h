// Test helper: USB serial adapters in a fake sysfs tree, as port enumeration and its tooltips read them.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace fakesys {

struct TUsbTty {
    std::string Tty;                                                // "ttyUSB0"
    std::string UsbDevice;                                          // the USB device's folder, "1-2"
    std::string VendorId, ProductId, Manufacturer, Product, Serial; // an empty Product is left out
    std::string DriverBus; // "usb-serial" for a converter driver, "usb" for cdc_acm
    std::string Driver;
    bool BelowInterface; // a converter's tty sits below the interface; cdc_acm's device is the interface
};

// Adds the adapter under sys (the root handed to TCommSerialPortInfo::SetSysfsRoot).
inline void AddUsbTty(const std::filesystem::path& sys, const TUsbTty& t)
{
    namespace fs = std::filesystem;
    const fs::path usb = sys / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / t.UsbDevice;
    const fs::path iface = usb / (t.UsbDevice + ":1.0");
    const fs::path device = t.BelowInterface ? iface / t.Tty : iface;
    fs::create_directories(device);
    auto attribute = [&](const char* name, const std::string& value) {
        if (!value.empty()) std::ofstream(usb / name) << value << "\n";
    };
    attribute("idVendor", t.VendorId);
    attribute("idProduct", t.ProductId);
    attribute("manufacturer", t.Manufacturer);
    attribute("product", t.Product);
    attribute("serial", t.Serial);
    // Every USB device is listed on its bus, as the kernel does.
    const fs::path listed = sys / "bus" / "usb" / "devices" / t.UsbDevice;
    fs::create_directories(listed.parent_path());
    if (!fs::exists(fs::symlink_status(listed))) fs::create_directory_symlink(usb, listed);
    const fs::path driver = sys / "bus" / t.DriverBus / "drivers" / t.Driver;
    fs::create_directories(driver);
    fs::create_symlink(driver, device / "driver");
    fs::create_directories(sys / "class" / "tty" / t.Tty);
    fs::create_symlink(device, sys / "class" / "tty" / t.Tty / "device");
}

} // namespace fakesys
