// The bytes that open and close a frame on the TCP stream (head byte 2, tail byte 3):
// written once, for the client's connection and every program that speaks the protocol.
#ifndef DEV_TOOLS_DT_FRAME_H
#define DEV_TOOLS_DT_FRAME_H

namespace dt {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;

}  // namespace dt

#endif  // DEV_TOOLS_DT_FRAME_H
