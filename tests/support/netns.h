#pragma once
// Private network namespaces for end-to-end tests. Every BOOTP packet of a
// test stays inside namespaces that the test made itself; they are deleted
// when the lab goes away. Needs root (CI runs as root); Create reports why
// not otherwise, so that a test can skip.

#include <map>
#include <memory>
#include <string>

namespace fybootp::testing {

class NetnsLab {
public:
    // tag keeps the names of concurrently running tests apart.
    static std::unique_ptr<NetnsLab> Create(const std::string& tag, std::string* whyNot);
    ~NetnsLab();
    NetnsLab(const NetnsLab&) = delete;
    NetnsLab& operator=(const NetnsLab&) = delete;

    // A new namespace for role, with lo up. Returns its full name, or "".
    std::string Add(const std::string& role);
    const std::string& Name(const std::string& role) const { return m_names.at(role); }

    // A veth pair from roleA (interface ifA, address cidrA) to roleB; both up.
    // An empty cidr leaves that end without address.
    bool Link(const std::string& roleA, const std::string& ifA, const std::string& cidrA,
              const std::string& roleB, const std::string& ifB, const std::string& cidrB);

    // `ip -n NS args` and `ip netns exec NS sh -c command`; true on exit 0.
    bool Ip(const std::string& role, const std::string& args) const;
    bool Sh(const std::string& role, const std::string& command) const;

    // The conditions under which broadcasts reliably reach a client without an
    // address: a default route out of dev, rp_filter off, and a permanent
    // neighbour entry for 255.255.255.255 so a full neighbour table cannot
    // swallow them.
    bool PrepareBroadcast(const std::string& role, const std::string& dev) const;

    // The usual pair: namespaces "srv" and "cli" joined by srv0 (serverCidr)
    // and cli0 (deviceCidr, may be empty), each ready for broadcasts.
    bool AddServerAndDevice(const std::string& serverCidr, const std::string& deviceCidr);

    // Moves the calling thread into the role's namespace until the guard ends.
    // Sockets made meanwhile stay in that namespace.
    class Inside {
    public:
        Inside(const NetnsLab& lab, const std::string& role);
        ~Inside();
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;
        bool Entered() const { return m_entered; }

    private:
        int m_original = -1;
        bool m_entered = false;
    };

private:
    explicit NetnsLab(std::string prefix) : m_prefix(std::move(prefix)) {}
    std::string m_prefix;
    std::map<std::string, std::string> m_names;
};

}  // namespace fybootp::testing
