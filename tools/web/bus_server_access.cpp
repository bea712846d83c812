#include "tools/web/bus_server_access.h"

#include "tools/client/address_args.h"
#include "tools/client/client_failure.h"

namespace fybootp::web {

using tools::ServerSession;

template <class Call>
auto BusServerAccess::WithSession(Call call) {
    MutexLock hold(m_lock);
    for (int attempt = 0;; ++attempt) {
        try {
            if (!m_session) m_session = ServerSession::Open();
            return call(*m_session);
        } catch (const tools::Failure& failure) {
            const bool gone =
                failure.status == RPC_E_DISCONNECTED || failure.status == CO_E_OBJNOTCONNECTED;
            if (gone) m_session.reset();
            if (!gone || attempt > 0) throw;
        }
    }
}

std::string BusServerAccess::NodesXml() {
    return WithSession([](ServerSession& s) {
        return s.Text(&IFyBootpServer::get_BootpInfosXml, "reading the node table");
    });
}

void BusServerAccess::PutNodesXml(const std::string& text) {
    WithSession([&](ServerSession& s) {
        s.PutText(&IFyBootpServer::put_BootpInfosXml, text, "importing the node table");
    });
}

HRESULT BusServerAccess::Add(const std::string& mac, std::int32_t ipAddr) {
    return WithSession([&](ServerSession& s) {
        return s.Add(mac, ipAddr, "adding " + tools::MacDisplay(mac));
    });
}

HRESULT BusServerAccess::Delete(const std::string& mac) {
    return WithSession([&](ServerSession& s) {
        return s.Delete(mac, "deleting " + tools::MacDisplay(mac));
    });
}

HRESULT BusServerAccess::Assign(const std::string& mac, std::int32_t ipAddr) {
    return WithSession([&](ServerSession& s) {
        return s.Assign(mac, ipAddr,
                        "assigning " + tools::Ipv4Text(ipAddr) + " to " + tools::MacDisplay(mac));
    });
}

std::string BusServerAccess::NewMacXml() {
    return WithSession([](ServerSession& s) {
        return s.Text(&IFyBootpServer::get_NewMacAddresses, "reading the new devices");
    });
}

std::string BusServerAccess::LogXml() {
    return WithSession(
        [](ServerSession& s) { return s.Text(&IFyBootpServer::get_LogEntries, "reading the log"); });
}

void BusServerAccess::ClearLog() {
    WithSession([](ServerSession& s) {
        // Any text that loads clears the log; the log itself is one.
        s.PutText(&IFyBootpServer::put_LogEntries,
                  s.Text(&IFyBootpServer::get_LogEntries, "clearing the log"), "clearing the log");
    });
}

bool BusServerAccess::Started() {
    return WithSession([](ServerSession& s) {
        return s.Long(&IFyBootpServer::get_Started, "reading Started") != 0;
    });
}

void BusServerAccess::SetStarted(bool started) {
    WithSession([&](ServerSession& s) {
        s.PutLong(&IFyBootpServer::put_Started, started ? 1 : 0,
                  started ? "starting the responder" : "stopping the responder");
    });
}

bool BusServerAccess::RepliesEnabled() {
    return WithSession([](ServerSession& s) {
        return s.Long(&IFyBootpServer::get_DisableResponse, "reading DisableResponse") == 0;
    });
}

void BusServerAccess::SetRepliesEnabled(bool enabled) {
    WithSession([&](ServerSession& s) {
        s.PutLong(&IFyBootpServer::put_DisableResponse, enabled ? 0 : 1,
                  enabled ? "enabling replies" : "disabling replies");
    });
}

std::string BusServerAccess::HostXml() {
    return WithSession([](ServerSession& s) {
        return s.Text(&IFyBootpServer::get_HostInfoXml, "reading the host identity");
    });
}

void BusServerAccess::PutHostXml(const std::string& text) {
    WithSession([&](ServerSession& s) {
        s.PutText(&IFyBootpServer::put_HostInfoXml, text, "setting the host identity");
    });
}

bool BusServerAccess::RunsAsService() { return tools::QueryServerOwner().service; }

std::string BusServerAccess::ServerName() {
    return WithSession([](ServerSession& s) { return s.ServerName(); });
}

}  // namespace fybootp::web
