#pragma once
// The stream transport's own error codes, kept per calling thread so that a
// failed socket-like operation can be asked what went wrong.

namespace veldmoor::udp {

enum UdpError : int {
    kUdpOk = 0,
    kUdpInterrupted = 10004,
    kUdpInvalidArgument = 10022,
    kUdpWouldBlock = 10035,
    kUdpNotSocket = 10038,
    kUdpAddressInUse = 10048,
    kUdpNetworkUnreachable = 10051,
    kUdpNotConnected = 10057,
    kUdpNotStarted = 10093,
};

// The code the calling thread's last operation left.
int LastUdpError();
// Leaves `code` for the calling thread and returns -1.
int FailWith(UdpError code);
// Leaves kUdpOk for the calling thread and returns `result`.
int SucceedWith(int result);

}  // namespace veldmoor::udp
