#pragma once
// The server as a client reaches it: the client proxy of IFyBootpServer on
// the bus that FYBOOTP_BUS_ADDRESS names (else the system bus, where only a
// server that runs as _fybootp or root is taken), or on another machine's
// system bus when remote_bus.h says so, created on the first call so that
// the bus starts the server on demand. Every failure is thrown as a
// Failure that says what was asked.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "automation/fybootp_interfaces.h"
#include "platform/com/com_ptr.h"

namespace fybootp::tools {

class ServerSession {
public:
    // Reaches the server, starting it on demand, and on the system bus
    // checks who runs it before the first call.
    static std::unique_ptr<ServerSession> Open();

    using TextGetter = HRESULT (IFyBootpServer::*)(BSTR*);
    using TextPutter = HRESULT (IFyBootpServer::*)(BSTR);
    using LongGetter = HRESULT (IFyBootpServer::*)(std::int32_t*);
    using LongPutter = HRESULT (IFyBootpServer::*)(std::int32_t);

    std::string Text(TextGetter get, const std::string& what);
    void PutText(TextPutter put, const std::string& text, const std::string& what);
    std::int32_t Long(LongGetter get, const std::string& what);
    void PutLong(LongPutter put, std::int32_t value, const std::string& what);
    // The status, S_FALSE included; failures are thrown.
    HRESULT Add(const std::string& mac, std::int32_t ipAddr, const std::string& what);
    HRESULT Delete(const std::string& mac, const std::string& what);
    // Adds a node for a device of the new-device list and takes it out of
    // that list. Adding leaves the list alone; only taking in a whole table
    // clears listed addresses from it, so the table is put back as it now
    // stands. The status of the add.
    HRESULT Assign(const std::string& mac, std::int32_t ipAddr, const std::string& what);

    // The unique bus name of the server that the calls reach.
    std::string ServerName() const;

private:
    explicit ServerSession(ComPtr<IFyBootpServer> server) : m_server(std::move(server)) {}
    ComPtr<IFyBootpServer> m_server;
};

// Who owns the server's name on the bus now.
struct ServerOwner {
    bool running = false;
    pid_t pid = 0;         // 0 when the bus does not say
    std::string unit;      // the systemd unit of that process, "" when none
    bool service = false;  // the unit is FyBootp.service
};
ServerOwner QueryServerOwner();

// The bus address in use, for messages: "the system bus" or the address.
std::string BusDescription();

}  // namespace fybootp::tools
