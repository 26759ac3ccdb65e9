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

namespace {

// The fixed speed codes of the old termios call, for hosts that lack the
// termios2 one: a 32-bit build run under user-mode emulation answers
// TCGETS2 with ENOSYS, and kernels before termios2 answer ENOTTY or EINVAL.
struct SpeedCode {
    speed_t code;
    uint32_t baud;
};
constexpr SpeedCode kSpeedCodes[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

bool OnlyTheOldCall(int error) { return error == ENOSYS || error == ENOTTY || error == EINVAL; }

// The terminal's settings, speeds included, by whichever call the host has.
bool GetAttributes(int fd, struct termios2 &t)
{
    if (ioctl(fd, TCGETS2, &t) == 0)
        return true;
    if (!OnlyTheOldCall(errno))
        return false;
    // termios2 is termios followed by the two speeds.
    struct termios old {};
    if (ioctl(fd, TCGETS, &old) != 0)
        return false;
    t = {};
    std::memcpy(&t, &old, sizeof(old));
    t.c_ispeed = t.c_ospeed = 0;
    for (const SpeedCode &s : kSpeedCodes)
        if ((old.c_cflag & CBAUD) == s.code)
            t.c_ispeed = t.c_ospeed = s.baud;
    return true;
}

// Applies t; where only the old call exists, the speed must be a fixed one.
bool SetAttributes(int fd, const struct termios2 &t)
{
    if (ioctl(fd, TCSETS2, &t) == 0)
        return true;
    if (!OnlyTheOldCall(errno))
        return false;
    struct termios old {};
    std::memcpy(&old, &t, sizeof(old));
    for (const SpeedCode &s : kSpeedCodes)
        if (s.baud == t.c_ospeed) {
            old.c_cflag = (old.c_cflag & ~CBAUD) | s.code;
            return ioctl(fd, TCSETS, &old) == 0;
        }
    errno = EINVAL;
    return false;
}

}  // namespace

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
    if (!GetAttributes(slave_, t)) {
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
    if (!SetAttributes(slave_, t)) {
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
    if (!GetAttributes(master_, t))
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
