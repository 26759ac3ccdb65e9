// The command interpreter of the main firmware: frames from the command OUT
// pipe, and the answers the command IN pipe carries back, bent as the test's
// answer mode says.
#include "firmware_state.h"

namespace sim::adapter {

void MainFirmware::Impl::QueueResponseLocked(std::vector<uint8_t> frame, Work &work)
{
    responses.push_back(std::move(frame));
    work.Wake(kCommandIn);
}

// An answer to a command, bent the way the answer mode says.
void MainFirmware::Impl::AnswerLocked(std::vector<uint8_t> frame, Work &work)
{
    switch (faults.answers) {
    case AnswerMode::Normal:
        break;
    case AnswerMode::Silent:
        return;
    case AnswerMode::Late:
        work.timers.emplace_back(work.now + faults.answerDelay, [frame = std::move(frame)](Impl &self, Work &later) {
            self.QueueResponseLocked(frame, later);
        });
        return;
    case AnswerMode::WrongPort:
        if (frame[0] == wire::kDone && frame.size() > 2)
            frame[2] = static_cast<uint8_t>(frame[2] % kPorts + 1);
        else if (frame[0] == wire::kStatus && frame.size() > 1)
            frame[1] = static_cast<uint8_t>(frame[1] % kPorts + 1);
        break;
    case AnswerMode::Garbage:
        frame.assign(kGarbageLength, 0xFF);
        frame[0] = kGarbageCode;
        break;
    case AnswerMode::Short:
        frame.resize(1);
        break;
    }
    QueueResponseLocked(std::move(frame), work);
}

void MainFirmware::Impl::AnswerDoneLocked(int port, Work &work)
{
    AnswerLocked({wire::kDone, 0x00, static_cast<uint8_t>(port)}, work);
}

// One frame from the command OUT pipe. The firmware reads a fixed-size
// buffer, so bytes a short frame leaves out read as zero, except in the
// setup block, which keeps what the last kSetup put there.
void MainFirmware::Impl::ExecuteLocked(const std::vector<uint8_t> &frame, Work &work)
{
    if (frame.size() < 2)
        return;
    const uint8_t code = frame[0];
    const int port = frame[1];
    if (port < 1 || port > kPorts)
        return;
    auto at = [&](size_t i) -> uint8_t { return i < frame.size() ? frame[i] : 0; };
    Uart &uart = U(port);
    uart.state.commands++;
    switch (code) {
    case wire::kOpen:
        uart.state.open = true;
        AnswerDoneLocked(port, work);
        break;
    case wire::kClose:
        uart.state.open = false;
        AnswerDoneLocked(port, work);
        break;
    case wire::kSetup: {
        std::array<uint8_t, kSetupBlockSize> setup = uart.state.setup;
        std::copy_n(frame.begin() + 1, std::min(kSetupBlockSize, frame.size() - 1), setup.begin());
        uart.Setup(setup);
        uart.UpdateAutoFlow(capacity);
        LinesChangedLocked(work);
        PumpAllLocked(work);
        AnswerDoneLocked(port, work);
        break;
    }
    case wire::kSetRts:
        uart.SetCommandedRts(at(2) != 0);
        LinesChangedLocked(work);
        PumpAllLocked(work);
        AnswerDoneLocked(port, work);
        break;
    case wire::kSetDtr:
        uart.state.dtr = at(2) != 0;
        LinesChangedLocked(work);
        PumpAllLocked(work);
        AnswerDoneLocked(port, work);
        break;
    case wire::kSetBreak:
        SetBreakLocked(port, at(2) != 0, work);
        AnswerDoneLocked(port, work);
        break;
    case kNoOpCommand:
        AnswerDoneLocked(port, work);
        break;
    case wire::kGetStatus:
        AnswerLocked({wire::kStatus, static_cast<uint8_t>(port), kStatusFlags, uart.state.modemStatus, 0, 0, 0}, work);
        break;
    case wire::kEcho: {
        // Nothing for a zero count: a zero-length transfer would end the
        // host's read with no data, which the real firmware never sends.
        const size_t n = at(2);
        if (n == 0)
            break;
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; i++)
            bytes[i] = at(3 + i);
        uart.QueueEcho(std::move(bytes));
        work.Wake(PortIn(port));
        break;
    }
    case wire::kGetInfo: {
        std::vector<uint8_t> answer = {wire::kInfo};
        answer.insert(answer.end(), info.begin(), info.end());
        AnswerLocked(std::move(answer), work);
        break;
    }
    default:
        break;
    }
}

}  // namespace sim::adapter
