#include "tests/host/fuzz/bus_arguments_fuzz_entry.h"

#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "host/audit_trail.h"
#include "host/bus_shapes.h"
#include "platform/bus/bus_members.h"

namespace fybootp::fuzz {
namespace {

// The input, consumed front to back; past its end every read gives 0.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::uint32_t Word() {
        std::uint32_t word = 0;
        for (int i = 0; i < 4; ++i) word = word << 8 | Byte();
        return word;
    }
    // A text of up to 64 KiB: long enough to pass the shape's bound.
    std::string Text() {
        const std::size_t length = std::size_t{Byte()} << 8 | Byte();
        std::string text(reinterpret_cast<const char*>(m_data + m_at),
                         std::min(length, m_size - m_at));
        m_at += text.size();
        if (text.size() < length && Byte() % 2 == 1) text.resize(length, 'A');
        return text;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

struct Call {
    std::string member;
    std::string signature;  // what the handler reads
    bool audited = false;
};

// What a client can call on the server object: each method, and each
// property's set, as the handlers read them.
std::vector<Call> Calls() {
    std::vector<Call> calls;
    for (const bus::BusInterface& itf : host::FyBootpBusClass().interfaces) {
        std::vector<bus::BusMember> members;
        if (!bus::DescribeMembers(itf.type, &members, itf.signalled, itf.audited)) continue;
        for (const bus::BusMember& member : members) {
            if (!member.isProperty) {
                calls.push_back({member.name, member.inSignature, member.audited});
            } else if (member.putIndex != bus::kNoMember) {
                calls.push_back({member.name, std::string(1, bus::SignatureOf(member.propertyType)),
                                 member.audited});
            }
        }
    }
    return calls;
}

// A bus whose far end never answers: enough for sd-bus to make and seal
// messages. Both ends stay open for the life of the process.
sd_bus* OfflineBus() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_fd(bus, pair[0], pair[0]) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

// Appends one value of a type the input picks; the member's own types come
// up often, so that calls that fit are common.
int AppendOne(sd_bus_message* message, Bytes& in, char* code) {
    static constexpr char kCodes[] = "iisssdduybxtqo";
    *code = kCodes[in.Byte() % (sizeof(kCodes) - 1)];
    switch (*code) {
        case 'i':
        case 'u': {
            const std::uint32_t word = in.Word();
            return sd_bus_message_append_basic(message, *code, &word);
        }
        case 'y': {
            const std::uint8_t byte = in.Byte();
            return sd_bus_message_append_basic(message, 'y', &byte);
        }
        case 'b': {
            const int flag = in.Byte() % 2;
            return sd_bus_message_append_basic(message, 'b', &flag);
        }
        case 'q': {
            const auto half = static_cast<std::uint16_t>(in.Word());
            return sd_bus_message_append_basic(message, 'q', &half);
        }
        case 'd': {
            const std::uint64_t bits = std::uint64_t{in.Word()} << 32 | in.Word();
            double number;
            static_assert(sizeof(number) == sizeof(bits));
            __builtin_memcpy(&number, &bits, sizeof(number));
            return sd_bus_message_append_basic(message, 'd', &number);
        }
        case 'x':
        case 't': {
            const std::uint64_t wide = std::uint64_t{in.Word()} << 32 | in.Word();
            return sd_bus_message_append_basic(message, *code, &wide);
        }
        case 'o':
            return sd_bus_message_append_basic(message, 'o', "/org/fybootp/x");
        default: {
            // sd-bus refuses what is not UTF-8, as the daemon would.
            const std::string text = in.Text();
            return sd_bus_message_append_basic(message, 's', text.c_str());
        }
    }
}

std::string Check(const Call& call, const std::string& bodySignature, sd_bus_message* message,
                  std::size_t maxText) {
    std::vector<Variant> args;
    HRESULT refusal = S_OK;
    const int r = bus::ReadArguments(message, call.signature, maxText, &args, &refusal);
    const bool fits = bodySignature.rfind(call.signature, 0) == 0;
    if (r < 0 || Failed(refusal)) {
        if (fits && r < 0) return call.member + ": a body that fits was not read (" + std::to_string(r) + ")";
        return {};
    }
    if (!fits) return call.member + ": read a body of signature '" + bodySignature + "'";
    if (args.size() != call.signature.size()) return call.member + ": wrong argument count";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const VARTYPE expected = call.signature[i] == 'i' ? VT_I4 : call.signature[i] == 's' ? VT_BSTR : VT_R8;
        if (args[i].Type() != expected) return call.member + ": argument of the wrong type";
        if (expected == VT_BSTR && args[i].Text().size() > maxText) {
            return call.member + ": a text past the bound was read";
        }
    }
    if (!call.audited) return {};
    const std::string line = host::AuditLine(65534, "nobody", call.member, args, S_OK);
    const bool printable = std::all_of(line.begin(), line.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte != 0x7F;
    });
    if (!printable || line.size() > 512) return call.member + ": the audit line is not one short printable line";
    return {};
}

}  // namespace

std::string RunBusArgumentsInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<Call> calls = Calls();
    static sd_bus* const bus = OfflineBus();
    if (calls.empty()) return "the server's shape has no callable member";
    if (bus == nullptr) return "no offline bus for making messages";
    Bytes in(data, size);
    const Call& call = calls[in.Byte() % calls.size()];
    sd_bus_message* message = nullptr;
    if (sd_bus_message_new_method_call(bus, &message, host::kBusName, host::kServerObjectPath,
                                       host::kServerInterface, call.member.c_str()) < 0) {
        return "no message could be made";
    }
    std::string bodySignature;
    const int values = in.Byte() % 5;
    for (int i = 0; i < values; ++i) {
        char code = 0;
        if (AppendOne(message, in, &code) < 0) break;
        bodySignature += code == 'o' ? 'o' : code;
    }
    std::string problem;
    if (sd_bus_message_seal(message, 1, 0) >= 0 && sd_bus_message_rewind(message, true) >= 0) {
        problem = Check(call, bodySignature, message, host::FyBootpBusClass().maxTextBytes);
    }
    sd_bus_message_unref(message);
    return problem;
}

}  // namespace fybootp::fuzz
