// Any line speed through termios2/BOTHER; kept apart because <asm/termbits.h> clashes with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace KestroComm32::PosixSpeed {

bool SetAnySpeed(int fd, unsigned baud)
{
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &t) == 0;
}

bool GetSpeed(int fd, unsigned& baud)
{
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    baud = t.c_ospeed;
    return true;
}

} // namespace KestroComm32::PosixSpeed
