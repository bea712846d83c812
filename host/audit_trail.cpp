#include "host/audit_trail.h"

#include <cstdio>

#include "host/system_accounts.h"
#include "platform/com/hresult_name.h"
#include "platform/net/address_text.h"

namespace fybootp::host {
namespace {

// How a member's arguments appear in its line.
enum class Shown {
    kNothing,
    kRows,           // a node table: the count of its rows
    kBytes,          // a text: its size
    kNumber,         // a long, as it is
    kMac,            // a hardware address text
    kMacAndAddress,  // and an address in network byte order, dotted
};

struct AuditedMember {
    std::string_view name;
    bool isProperty;
    Shown shown;
    std::string_view note;
};

constexpr AuditedMember kAudited[] = {
    {"BootpInfosXml", true, Shown::kRows, ""},
    {"LogEntries", true, Shown::kNothing, " (clears the log)"},
    {"Started", true, Shown::kNumber, ""},
    {"HostInfoXml", true, Shown::kBytes, ""},
    {"AddBootpInfo", false, Shown::kMacAndAddress, ""},
    {"DeleteBootpInfo", false, Shown::kMac, ""},
    {"DisableResponse", true, Shown::kNumber, ""},
    {"Start", false, Shown::kNothing, ""},
    {"Stop", false, Shown::kNothing, ""},
};

// Longer or other MAC texts are shown by their size, so that a client
// cannot write what it likes into the journal.
constexpr std::size_t kMaxShownText = 32;

bool Plain(std::string_view text) {
    if (text.empty() || text.size() > kMaxShownText) return false;
    for (const char c : text) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                        (c >= 'a' && c <= 'z') || c == ':' || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

// Built by appending throughout: g++ 12's -Wrestrict misreads "text" +
// std::string at -O3.
std::string Size(std::size_t bytes) { return std::to_string(bytes).append(" bytes"); }

// Node elements; "<Nodes" is their container, not a row.
std::size_t Rows(std::string_view xml) {
    std::size_t rows = 0;
    constexpr std::string_view kOpen = "<Node";
    for (std::size_t at = xml.find(kOpen); at != std::string_view::npos;
         at = xml.find(kOpen, at + kOpen.size())) {
        const std::size_t next = at + kOpen.size();
        if (next < xml.size() && (xml[next] == '>' || xml[next] == '/' || xml[next] == ' ' ||
                                  xml[next] == '\t' || xml[next] == '\r' || xml[next] == '\n')) {
            ++rows;
        }
    }
    return rows;
}

std::string Text(const Variant& arg) {
    const std::string_view text = arg.Text();
    return Plain(text) ? std::string(text) : std::string("(").append(Size(text.size())).append(")");
}

// The arguments as they arrived: fewer, or of other types, when the call
// was refused before the object saw it; those are left out.
std::string Arguments(Shown shown, const std::vector<Variant>& args) {
    const auto is = [&](std::size_t i, VARTYPE type) {
        return i < args.size() && args[i].Type() == type;
    };
    std::string out;
    switch (shown) {
        case Shown::kNothing:
            break;
        case Shown::kRows:
            if (is(0, VT_BSTR)) {
                const std::size_t rows = Rows(args[0].Text());
                out.append(" ").append(std::to_string(rows)).append(rows == 1 ? " row" : " rows");
            }
            break;
        case Shown::kBytes:
            if (is(0, VT_BSTR)) out.append(" ").append(Size(args[0].Text().size()));
            break;
        case Shown::kNumber:
            if (is(0, VT_I4)) out.append(" ").append(std::to_string(args[0].I4()));
            break;
        case Shown::kMac:
        case Shown::kMacAndAddress:
            if (is(0, VT_BSTR)) out.append(" ").append(Text(args[0]));
            if (shown == Shown::kMacAndAddress && is(1, VT_I4)) {
                out.append(" ").append(net::InetNtoa(static_cast<std::uint32_t>(args[1].I4())));
            }
            break;
    }
    return out;
}

std::string Status(HRESULT result) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<std::uint32_t>(result));
    const std::string_view name = HresultName(result);
    return name == "HRESULT" ? code : std::string(name);
}

}  // namespace

std::vector<std::string> AuditedMembers() {
    std::vector<std::string> names;
    for (const AuditedMember& member : kAudited) names.emplace_back(member.name);
    return names;
}

std::string AuditLine(uid_t uid, std::string_view userName, std::string_view member,
                      const std::vector<Variant>& args, HRESULT result) {
    std::string line = "uid " + std::to_string(uid) + " (" + std::string(userName) + ") ";
    Shown shown = Shown::kNothing;
    std::string_view note;
    for (const AuditedMember& audited : kAudited) {
        if (audited.name != member) continue;
        if (audited.isProperty) line += "put ";
        shown = audited.shown;
        note = audited.note;
    }
    line += member;
    line += Arguments(shown, args);
    line += note;
    return line + ": " + Status(result);
}

bus::AuditHook AuditTrail(journal::Sink& log) {
    return [&log](const bus::CallerIdentity& caller, std::string_view member,
                  const std::vector<Variant>& args, HRESULT result) {
        log.Write(journal::Priority::kInfo,
                  AuditLine(caller.uid, UserNameOf(caller.uid), member, args, result));
    };
}

}  // namespace fybootp::host
