// The frame around every package on the TCP stream: STX 0x02, the whole frame's length
// as 4 bytes big-endian (STX and ETX included, so payload + 6), the payload, ETX 0x03.
#ifndef RELAY_PROTO_FRAME_H
#define RELAY_PROTO_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "relay_proto/package.h"

namespace relay_proto {

// The head is STX and the length field (the client's PKG_SIZE_T); ETX follows the payload.
enum {
    FRAME_HEAD_SIZE = 1 + sizeof(PKG_SIZE_T),
    FRAME_OVERHEAD = FRAME_HEAD_SIZE + 1,
};

// sPayload inside one frame.
std::string BuildFrame(const std::string& sPayload);

// A reply package: the protocol's command and client version, m_pkg_type cPkgType
// (PKG_TYPE_RESPONSE but for a misbehaving relay), the timestamp and the result code
// (a PKG_RESULT), no body.
std::string BuildReplyPackage(uint8_t cPkgType, uint32_t dwResult, uint32_t dwTimestamp);

// Collects one frame from a stream, byte counts as they arrive. Memory grows with the
// bytes actually received, never with the length a peer announces. A frame that is only
// to be answered, not read, can be kept to its first bytes: the rest is counted and
// dropped as it arrives, in a small fixed buffer.
class CFrameReader {
public:
    enum STATUS {
        FR_MORE,       // the frame is not complete yet
        FR_FRAME,      // a whole, well-formed frame: TakePayload() gives its package
        FR_BAD_END,    // a whole frame whose last byte is not ETX
        FR_NOT_FRAME,  // no frame at all: wrong first byte, or a length out of bounds
    };

    explicit CFrameReader(uint32_t dwMaxFrame) : m_dwMaxFrame(dwMaxFrame) {}

    // From now on only the first nPayload bytes of the payload are kept; the rest of the
    // frame is dropped as it arrives (its last byte still checked). Call before the head
    // is complete.
    void KeepOnly(size_t nPayload);

    // Where the next bytes go, and how many the frame still takes (never past its end).
    char* Room(size_t& nRoom);
    // Takes the nBytes just written to Room(); after any status but FR_MORE, no more.
    STATUS Commit(size_t nBytes);

    // The package of a complete frame (FR_FRAME), or its kept bytes, moved out: call once.
    std::string TakePayload();
    // Why the frame was refused (FR_BAD_END, FR_NOT_FRAME).
    const std::string& ErrMsg() const { return m_sErrMsg; }
    uint64_t BytesRead() const { return m_nHave; }
    // The length announced in the head, 0 before the head is complete.
    uint32_t FrameSize() const { return m_dwFrameSize; }

private:
    STATUS CheckHead();
    STATUS CheckEnd();
    // Where the kept bytes of the frame end.
    size_t KeepEnd() const;

    uint32_t m_dwMaxFrame;
    uint32_t m_dwFrameSize = 0;
    size_t m_nKeep = SIZE_MAX;  // payload bytes kept
    size_t m_nHave = 0;
    size_t m_nRoomAt = 0;  // where Room() last pointed
    char m_cLast = 0;      // the last byte committed
    std::string m_sBuf;
    std::string m_sErrMsg;
};

}  // namespace relay_proto

#endif  // RELAY_PROTO_FRAME_H
