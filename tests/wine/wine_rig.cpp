// The rig's control channel over TCP on the loopback (winsock or BSD sockets) and the Wine check.
#include "wine_rig.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace winerig {

namespace {

#ifdef _WIN32
using TSock = SOCKET;
void CloseSocket(TSock s) { closesocket(s); }
bool Readable(TSock s, int ms)
{
    WSAPOLLFD p{s, POLLRDNORM, 0};
    return WSAPoll(&p, 1, ms) > 0;
}
bool Started()
{
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}
#else
using TSock = int;
void CloseSocket(TSock s) { close(s); }
bool Readable(TSock s, int ms)
{
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}
bool Started() { return true; }
#endif

} // namespace

TControl::TControl(const std::string& address)
{
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || !Started()) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::stoi(address.substr(colon + 1))));
    if (inet_pton(AF_INET, address.substr(0, colon).c_str(), &to.sin_addr) != 1) return;
    const TSock s = socket(AF_INET, SOCK_STREAM, 0);
    if (static_cast<std::intptr_t>(s) == Invalid) return;
    if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        CloseSocket(s);
        return;
    }
    Socket = static_cast<std::intptr_t>(s);
}

TControl::~TControl()
{
    if (Valid()) CloseSocket(static_cast<TSock>(Socket));
}

std::string TControl::Ask(const std::string& request, std::chrono::milliseconds timeout)
{
    if (!Valid()) return "err no control channel";
    const TSock s = static_cast<TSock>(Socket);
    const std::string line = request + "\n";
    if (send(s, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size()))
        return "err send " + request;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto nl = Buffer.find('\n'); nl != std::string::npos) {
            std::string reply = Buffer.substr(0, nl);
            Buffer.erase(0, nl + 1);
            return reply;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return "err no reply to " + request;
        if (!Readable(s, static_cast<int>(left))) continue;
        char chunk[256];
        const int n = static_cast<int>(recv(s, chunk, sizeof chunk, 0));
        if (n <= 0) return "err the host closed the channel";
        Buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

bool UnderWine()
{
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

} // namespace winerig
