/* A scripted libusb for transport tests that need transfers a device would
 * rarely produce: the test executable defines the libusb calls the
 * transport makes, so they stand in front of the real library. */
#pragma once

#include <stdint.h>

#include <deque>
#include <vector>

struct FakeTransfer {
    int code = 0;                    /* libusb code of the transfer */
    std::vector<unsigned char> data; /* bytes an IN transfer delivers */
};

struct FakeUsb {
    std::deque<FakeTransfer> in;     /* IN transfers in order; empty: time-out */
    bool stallForever = false;       /* every IN transfer stalls */
    bool emptyForever = false;       /* every IN transfer delivers 0 bytes */
    std::vector<std::vector<unsigned char>> out;
    std::vector<unsigned int> inTimeouts;
    int clearHalts = 0;
    int driverActive = 0;            /* what libusb_kernel_driver_active answers */
    int detachCode = 0;              /* what libusb_detach_kernel_driver answers */
    uint32_t Tag() const;
    void Reset();
};

extern FakeUsb g_fakeUsb;

std::vector<unsigned char> FakeCsw(uint32_t ulTag, unsigned char byStatus);
