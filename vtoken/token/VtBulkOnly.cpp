// The token's side of the bulk-only wrappers.
//
// A write exchange is a command block wrapper with the vendor block FF F0 and
// the frame length L (little-endian), then L frame bytes in any number of
// transfers, then the 13-byte status wrapper as the only bytes of the next
// read.  The read command FF F1 makes the answer of that frame readable,
// followed by its status wrapper.  Every status wrapper carries the tag of
// its command block wrapper.
#include "vtoken/token/VtToken.h"

#include <algorithm>

namespace vtoken {

namespace {

constexpr int kUsbPipe = -9;     // LIBUSB_ERROR_PIPE
constexpr int kUsbTimeout = -7;  // LIBUSB_ERROR_TIMEOUT
constexpr int kUsbNotFound = -5; // LIBUSB_ERROR_NOT_FOUND
constexpr uint8_t kEpIn = 0x81;
constexpr uint8_t kEpOut = 0x02;
constexpr size_t kCbwSize = 31;
constexpr size_t kMaxFrame = 8 + kVtMaxFrameBody;
constexpr size_t kLongAnswer = 1100;

}  // namespace

void CVtToken::QueueCsw(uint32_t ulTag, uint32_t ulResidue, uint8_t byStatus)
{
    uint8_t csw[13] = {'U', 'S', 'B', 'S'};
    VtPutLE32(csw + 4, ulTag);
    VtPutLE32(csw + 8, ulResidue);
    csw[12] = byStatus;
    m_vIn.insert(m_vIn.end(), csw, csw + 13);
}

int CVtToken::BulkOut(uint8_t byEndpoint, const VtBytes& vData, uint64_t ulFrom)
{
    if (byEndpoint != kEpOut || m_bOutHalted) {
        return kUsbPipe;
    }
    // The frame of a write comes from the connection that sent its command
    // block.  Bytes from another one mean that writer is gone (its process
    // ended; its disconnect may not have been seen yet): its write is
    // abandoned and these bytes are taken as a new command block.
    if (m_phase == Phase::Data && ulFrom != 0 && ulFrom != m_ulWriter) {
        ClientGone(m_ulWriter);
    }
    if (m_phase == Phase::Data) {
        // Bytes beyond the announced length are dropped.
        size_t nTake = std::min<size_t>(vData.size(), m_ulExpected);
        if (!m_bDiscard) {
            m_vFrame.insert(m_vFrame.end(), vData.begin(), vData.begin() + static_cast<long>(nTake));
        }
        m_ulExpected -= static_cast<uint32_t>(nTake);
        if (m_ulExpected == 0) {
            CompleteWrite();
        }
        return 0;
    }
    HandleCbw(vData);
    if (m_phase == Phase::Data) {
        m_ulWriter = ulFrom;
    }
    return 0;
}

void CVtToken::ClientGone(uint64_t ulFrom)
{
    if (ulFrom != 0 && m_phase == Phase::Data && m_ulWriter == ulFrom) {
        m_phase = Phase::Command;
        m_ulExpected = 0;
        m_bDiscard = false;
        VtWipe(m_vFrame);
        m_vIn.clear();
    }
}

void CVtToken::HandleCbw(const VtBytes& vCbw)
{
    // A new command block: whatever the host left unread is dropped.
    m_vIn.clear();
    if (vCbw.size() != kCbwSize || vCbw[0] != 'U' || vCbw[1] != 'S' || vCbw[2] != 'B' || vCbw[3] != 'C') {
        // Not a command block wrapper: the bulk-in pipe halts until cleared.
        m_bInHalted = true;
        m_ulStallsLeft = 1;
        return;
    }
    uint32_t ulTag = VtGetLE32(&vCbw[4]);
    uint32_t ulDataLength = VtGetLE32(&vCbw[8]);
    const uint8_t* cb = &vCbw[15];
    if (cb[0] == 0xFF && cb[1] == 0xF0) {
        // A new exchange: the previous one's answer and pipe state end here,
        // and a fault armed for "the next exchange" takes effect.
        m_bHaveAnswer = false;
        m_vAnswer.clear();
        m_bInHalted = false;
        m_ulStallsLeft = 0;
        m_fault = m_armedFault;
        m_ulFaultArg = m_ulArmedArg;
        m_armedFault = VtFault::None;
        if (m_fault == VtFault::Stall) {
            m_bInHalted = true;
            m_ulStallsLeft = m_ulFaultArg;
        }
        uint32_t ulLength = VtGetLE32(cb + 2);
        m_ulTag = ulTag;
        m_vFrame.clear();
        if (ulLength == 0) {
            QueueCsw(ulTag, 0, 1);
            return;
        }
        m_phase = Phase::Data;
        m_ulExpected = ulLength;
        m_bDiscard = ulLength > kMaxFrame;
        return;
    }
    if (cb[0] == 0xFF && cb[1] == 0xF1) {
        if (!m_bHaveAnswer) {
            QueueCsw(ulTag, ulDataLength, 1);  // no frame written before it
            return;
        }
        m_bHaveAnswer = false;
        VtBytes vData = std::move(m_vAnswer);
        m_vAnswer.clear();
        uint32_t ulCswTag = ulTag;
        uint8_t byStatus = 0;
        bool bCsw = true;
        switch (m_fault) {
        case VtFault::BadTag: ulCswTag = ulTag + 1; break;
        case VtFault::CswStatus: vData.clear(); byStatus = 1; break;
        case VtFault::Short: vData.resize(std::min<size_t>(vData.size(), m_ulFaultArg)); break;
        case VtFault::Long: vData.resize(kLongAnswer, 0xA5); break;
        case VtFault::Garbage: vData = VtRandom(std::max<size_t>(vData.size(), 4)); break;
        case VtFault::NoCsw: bCsw = false; break;
        case VtFault::None:
        case VtFault::Stall: break;
        }
        m_fault = VtFault::None;
        m_vIn = vData;
        if (bCsw) {
            uint32_t ulResidue = ulDataLength > vData.size() ? ulDataLength - static_cast<uint32_t>(vData.size()) : 0;
            QueueCsw(ulCswTag, ulResidue, byStatus);
        }
        return;
    }
    QueueCsw(ulTag, ulDataLength, 1);  // unknown command block
}

void CVtToken::CompleteWrite()
{
    m_phase = Phase::Command;
    if (m_bDiscard) {
        m_bDiscard = false;
        QueueCsw(m_ulTag, 0, 1);
        return;
    }
    m_vAnswer = ProcessFrame(m_vFrame);
    ++m_ulExchanges;
    VtWipe(m_vFrame);
    if (!SaveIfChanged()) {
        m_vAnswer = {static_cast<uint8_t>(kSwMemoryFailure >> 8), static_cast<uint8_t>(kSwMemoryFailure), 0, 0};
    }
    m_bHaveAnswer = true;
    QueueCsw(m_ulTag, 0, 0);
}

int CVtToken::BulkIn(uint8_t byEndpoint, uint32_t ulMax, VtBytes& vOut)
{
    vOut.clear();
    if (byEndpoint != kEpIn || m_bInHalted) {
        return kUsbPipe;
    }
    if (m_vIn.empty()) {
        return kUsbTimeout;  // nothing to send: a real token would NAK until the time-out
    }
    size_t n = std::min<size_t>(ulMax, m_vIn.size());
    vOut.assign(m_vIn.begin(), m_vIn.begin() + static_cast<long>(n));
    m_vIn.erase(m_vIn.begin(), m_vIn.begin() + static_cast<long>(n));
    return 0;
}

int CVtToken::ClearHalt(uint8_t byEndpoint)
{
    if (byEndpoint == kEpIn) {
        if (m_ulStallsLeft > 1) {
            m_ulStallsLeft--;  // a persistent stall: halts again at once
        } else {
            m_bInHalted = false;
            m_ulStallsLeft = 0;
        }
        return 0;
    }
    if (byEndpoint == kEpOut) {
        m_bOutHalted = false;
        return 0;
    }
    return kUsbNotFound;
}

}  // namespace vtoken
