// A USB capture of the simulated bus, written as Linux's usbmon would have
// written it for a real adapter on a real host: a pcap file of link type
// LINKTYPE_USB_LINUX_MMAPPED (220), one submit ('S') and one complete ('C')
// record per transfer, each a 64-byte usbmon header followed by the data
// (OUT data with the submit, IN data with the completion). Packet analysers
// read it as they read a capture taken on a Linux machine.
//
// Every bus the capture is attached to is one device on bus 1, numbered
// from 2 (1 being the root hub) in the order the buses were attached: a
// device that leaves the bus and comes back (the chip after its download)
// gets the next number, as after a real re-enumeration. What the bus does
// becomes what a host controller would have put on the wire:
//
//   descriptor read        GET_DESCRIPTOR (80 06), IN on endpoint 0
//   vendor request         bmRequestType 40 (C0 for IN), the request's fields
//   select configuration   SET_CONFIGURATION (00 09), wValue the configuration
//                          value, 0 to deselect; the pipes it opened are
//                          learnt from the completed request
//   reset pipe             CLEAR_FEATURE(ENDPOINT_HALT) (02 01), wIndex the endpoint
//   bulk transfer          on the pipe's endpoint, with its direction
//
// Statuses are usbmon's: -EINPROGRESS on every submit; on completion 0, or
// the negative errno Linux gives the same outcome (-ENOENT cancelled,
// -ESHUTDOWN device gone, -EPIPE stall, -EREMOTEIO short, -EINVAL refused,
// -EPROTO anything else). Timestamps are kernel time, simulated or real,
// counted from 2000-01-01 00:00:00 UTC, and a URB's id (which pairs its
// submit and complete records) is a number counted from 1 in the order of
// submission, not its address: in a deterministic schedule the same seed
// writes the same file, byte for byte.
//
// Records go to the file as they happen, each whole in one write, so the
// capture uses no memory that grows with the run, and a run that stops half
// way (a bug check ends the process) leaves a file that reads to its end.
// Any thread may call in; records are written in the order they happen.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bus.h"

namespace sim::usb {

class Capture : public BusObserver {
public:
    // Creates (or truncates) the file and writes the pcap header. Null, with
    // the reason in error, when the file cannot be written.
    static std::unique_ptr<Capture> Create(const std::string &path, std::string &error);
    ~Capture() override;
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // Captures everything on this bus from now on, as a device of its own.
    void Attach(Bus &bus);

    uint64_t Records();
    // False once a write failed (disk full, say); the file stops there.
    bool Healthy();

    // --- BusObserver ---------------------------------------------------------
    void Submitted(Bus &bus, const URB &urb) override;
    void Completed(Bus &bus, const URB &urb) override;

private:
    struct PipeInfo {
        uint8_t endpoint = 0;
        uint8_t transferType = 0;  // usbmon's: 0 isochronous, 1 interrupt, 2 control, 3 bulk
    };
    struct Device {
        uint8_t number = 0;
        std::map<const void *, PipeInfo> pipes;  // by pipe handle; handles are never reused
    };
    struct Event;

    explicit Capture(int fd);
    bool Describe(Device &device, const URB &urb, bool submit, Event &event);
    void LearnPipes(Device &device, const URB &urb);
    void WriteLocked(const Event &event);

    sim::Mutex mutex_;
    int fd_ = -1;
    bool healthy_ = true;
    uint64_t records_ = 0;
    uint8_t nextNumber_ = 2;
    // The ids of the URBs between their submit and complete records.
    std::map<const URB *, uint64_t> ids_;
    uint64_t nextId_ = 1;
    std::map<const Bus *, Device> devices_;
    std::vector<uint8_t> scratch_;
};

}  // namespace sim::usb
