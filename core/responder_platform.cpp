#include "core/responder_platform.h"

#include <system_error>

#include "platform/clock/local_time.h"

namespace fybootp {
namespace {

class SystemResponderPlatform final : public ResponderPlatform {
public:
    explicit SystemResponderPlatform(std::uint16_t port) : m_port(port) {}

    net::OpenResult OpenSocket() override { return net::OpenBroadcastServerSocket(m_port); }

    bool StartThread(std::function<void()> body, std::thread& out) override {
        try {
            out = std::thread(std::move(body));
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    std::time_t Now() override { return clock::Now(); }
    std::optional<std::tm> ToLocal(std::time_t t) override { return clock::ToLocal(t); }

private:
    std::uint16_t m_port;
};

}  // namespace

std::shared_ptr<ResponderPlatform> MakeSystemResponderPlatform(std::uint16_t port) {
    return std::make_shared<SystemResponderPlatform>(port);
}

}  // namespace fybootp
