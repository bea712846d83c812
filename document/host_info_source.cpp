#include "document/host_info_source.h"

namespace fybootp {
namespace {

class SystemHostInfoSourceImpl final : public HostInfoSource {
public:
    std::string HostName() const override { return net::LocalHostName(); }
    int ReadAddressTable(std::vector<net::AddressRow>& out) const override {
        return net::ReadAddressTable(out);
    }
    int ReadRouteTable(std::vector<net::RouteRow>& out) const override {
        return net::ReadRouteTable(out);
    }
};

}  // namespace

const HostInfoSource& SystemHostInfoSource() {
    static const SystemHostInfoSourceImpl source;
    return source;
}

}  // namespace fybootp
