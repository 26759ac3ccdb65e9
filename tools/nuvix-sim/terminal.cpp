// Only the kernel's own termios2 here (glibc's <termios.h> knows no
// arbitrary speeds and cannot be included alongside it).
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "terminal.h"

namespace nuvix::simtool {

bool PseudoTerminal::Open(uint32_t baud, std::string &error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof(name)) != 0) {
        error = std::string("cannot name a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    struct termios2 t {};
    if (ioctl(slave_, TCGETS2, &t) != 0) {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    // Raw: no echo, no line editing, no character translation, 8N1.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD);
    t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER;
    t.c_ispeed = t.c_ospeed = baud;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (ioctl(slave_, TCSETS2, &t) != 0) {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

PseudoTerminal::~PseudoTerminal()
{
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
}

size_t PseudoTerminal::Read(uint8_t *buffer, size_t capacity)
{
    const ssize_t n = ::read(master_, buffer, capacity);
    return n > 0 ? size_t(n) : 0;
}

size_t PseudoTerminal::Write(const uint8_t *data, size_t length)
{
    const ssize_t n = ::write(master_, data, length);
    return n > 0 ? size_t(n) : 0;
}

void PseudoTerminal::Watch(std::vector<struct pollfd> &fds, bool input, bool output) const
{
    const short events = short((input ? POLLIN : 0) | (output ? POLLOUT : 0));
    if (events)
        fds.push_back({master_, events, 0});
}

ProgramSettings PseudoTerminal::Settings() const
{
    ProgramSettings settings;
    struct termios2 t {};
    if (ioctl(master_, TCGETS2, &t) != 0)
        return settings;
    settings.baud = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        settings.dataBits = 5;
        break;
    case CS6:
        settings.dataBits = 6;
        break;
    case CS7:
        settings.dataBits = 7;
        break;
    default:
        settings.dataBits = 8;
        break;
    }
    if (t.c_cflag & PARENB) {
        const bool odd = t.c_cflag & PARODD;
        settings.parity = (t.c_cflag & CMSPAR) ? (odd ? 'm' : 's') : (odd ? 'o' : 'e');
    }
    settings.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    settings.rtsCts = t.c_cflag & CRTSCTS;
    settings.xonXoffOut = t.c_iflag & IXON;
    settings.xonXoffIn = t.c_iflag & IXOFF;
    settings.xon = t.c_cc[VSTART];
    settings.xoff = t.c_cc[VSTOP];
    return settings;
}

}  // namespace nuvix::simtool
