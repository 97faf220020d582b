#pragma once

namespace Relay {
namespace V2 {

// The commands of relay protocol V2. Only the names travel on the wire; the numbers are the
// program's own codes.
enum class CommandType : int {
    BEGIN_SESSION = 0,
    CLOSED = 1,
    CODE = 2,
    CONNECT_TO = 3,
    CONNECTED = 4,
    CONNECTION = 5,
    DATA = 6,
    DISCONNECT = 7,
    DISCONNECTED = 8,
    ERROR = 9,
    FAIL = 10,
    GET_CLIENTS = 11,
    GET_CONNECTIONS = 12,
    HELLO = 13,
    KEEP_ALIVE = 14,
    KEEP = 15,
    OK = 16,
    PEER_ERROR = 17,
    QUIT = 18,
    TRANS = 19,
    WATCH = 20,
};

} // namespace V2
} // namespace Relay
