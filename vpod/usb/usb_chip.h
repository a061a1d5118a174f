// The chip's USB front end: what the model's interfaces look like to a USB host (identity,
// vendor requests, bulk packets with their modem-status bytes and the latency timer).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "vpod/usb.h"

namespace vpod::usb {

using Clock = std::chrono::steady_clock;

// The model in use: the attached one, else the one linked into this library.
const Model& model();
void setModel(const Model* m);

struct UsbIdentity {
    uint16_t product = 0, bcdDevice = 0, maxPacket = 0;
};
// False for a chip type with no USB identity here.
bool identityOf(uint32_t type, UsbIdentity* id);

// A bulk transfer either finished (with a libusb_transfer_status and a length) or waits until
// wakeAt at the latest (earlier when the model signals new bytes).
struct Progress {
    bool done = false;
    int status = 0;
    int actual = 0;
    Clock::time_point wakeAt{};
};

// One claimed channel: the model's interface opened for the host program.
class Channel {
public:
    Channel(std::string serial, uint16_t maxPacket) : serial_(std::move(serial)), maxPacket_(maxPacket) {}
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // A libusb error code: LIBUSB_ERROR_BUSY while another program holds the interface.
    int claim(Notify wake);
    // A vendor request addressed to this channel; returns the data length or a libusb error.
    int control(uint8_t requestType, uint8_t request, uint16_t value, uint8_t* data, uint16_t length);
    Progress bulkOut(const uint8_t* data, int length);
    Progress bulkIn(uint8_t* data, int length, Clock::time_point deadline);
    // The chip leaves the bus and comes back (port reset).
    void cycle();

private:
    std::mutex mu_;
    std::string serial_;
    uint16_t maxPacket_;
    Handle* handle_ = nullptr;
    uint8_t latencyMs_ = 16;
    Clock::time_point lastPacket_{};
    Clock::time_point stalledUntil_{};
    std::vector<uint8_t> scratch_;
};

}  // namespace vpod::usb
