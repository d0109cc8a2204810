// The test's side of the COM-port rig: the control channel to the Linux host and whether Wine runs us.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace winerig {

// One request line to the host, one reply line back ("ok ..." or "err ..."). Kept out of the tests'
// translation unit: the socket headers of Windows bring names that clash with the library's.
class TControl {
public:
    explicit TControl(const std::string& address); // "127.0.0.1:<port>"
    ~TControl();
    TControl(const TControl&) = delete;
    TControl& operator=(const TControl&) = delete;

    bool Valid() const { return Socket != Invalid; }
    std::string Ask(const std::string& request, std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    static constexpr std::intptr_t Invalid = -1;
    std::intptr_t Socket = Invalid;
    std::string Buffer;
};

// Running under Wine, which differs from Windows where a test cannot tell the two apart.
bool UnderWine();

} // namespace winerig
