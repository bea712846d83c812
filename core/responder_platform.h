#pragma once
// What the responder needs from the system: its socket, its thread and the
// clock. Passed in, so that tests can make each of them fail.

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "platform/net/udp_socket.h"

namespace fybootp {

class ResponderPlatform {
public:
    virtual ~ResponderPlatform() = default;
    // The bound UDP socket of port 67, or the error that prevented it.
    virtual net::OpenResult OpenSocket() = 0;
    // Starts body on a new thread; false when no thread could be made.
    virtual bool StartThread(std::function<void()> body, std::thread& out) = 0;
    virtual std::time_t Now() = 0;
    virtual std::optional<std::tm> ToLocal(std::time_t t) = 0;
};

// The real socket on the given port, real threads, the real clock.
std::shared_ptr<ResponderPlatform> MakeSystemResponderPlatform(std::uint16_t port = 67);

}  // namespace fybootp
