#include "platform/bus/bus_members.h"

#include <cerrno>
#include <cstring>

namespace fybootp::bus {
namespace {

BusMember* FindMutable(std::vector<BusMember>& members, std::string_view name) {
    for (BusMember& member : members) {
        if (member.name == name) return &member;
    }
    return nullptr;
}

bool DescribeMethod(const MemberDesc& desc, std::size_t index, BusMember* member) {
    member->methodIndex = index;
    // The status first, then a retval if there is one.
    std::string in;
    std::string out(1, 'i');
    for (const ParamDesc& param : desc.params) {
        const char code = SignatureOf(param.type);
        if (code == '\0') return false;
        (IsRetval(param) ? out : in).push_back(code);
    }
    member->inSignature = std::move(in);
    member->outSignature = std::move(out);
    return true;
}

bool DescribeProperty(const MemberDesc& desc, std::size_t index, BusMember* member) {
    // A get's only parameter is its retval, a put's only one its value.
    if (desc.params.size() != 1) return false;
    const VARTYPE type = desc.params[0].type;
    if (SignatureOf(type) == '\0') return false;
    if (member->propertyType != VT_EMPTY && member->propertyType != type) return false;
    member->propertyType = type;
    (desc.invokeKind == INVOKE_PROPERTYGET ? member->getIndex : member->putIndex) = index;
    return true;
}

// Parameter names as sd-bus wants them: each followed by a NUL, the
// in-parameters first, then the out-parameters.
std::string ParameterNames(const MemberDesc& desc) {
    std::string names;
    std::size_t unnamed = 0;
    for (const ParamDesc& param : desc.params) {
        if (IsRetval(param)) continue;
        names += param.name.empty() ? "arg" + std::to_string(++unnamed) : param.name;
        names += '\0';
    }
    names += std::string("status") + '\0';
    for (const ParamDesc& param : desc.params) {
        if (IsRetval(param)) names += (param.name.empty() ? "value" : param.name) + '\0';
    }
    return names;
}

}  // namespace

char SignatureOf(VARTYPE type) {
    switch (type) {
        case VT_I4:
            return 'i';
        case VT_BSTR:
            return 's';
        case VT_R8:
            return 'd';
        default:
            return '\0';
    }
}

bool DescribeMembers(const TypeDesc& type, std::vector<BusMember>* members,
                     const std::vector<std::string>& signalled,
                     const std::vector<std::string>& audited) {
    members->clear();
    const std::size_t first = FirstVtableIndex(type);
    for (std::size_t i = 0; i < type.members.size(); ++i) {
        const MemberDesc& desc = type.members[i];
        const bool property =
            desc.invokeKind == INVOKE_PROPERTYGET || desc.invokeKind == INVOKE_PROPERTYPUT;
        if (desc.invokeKind == INVOKE_PROPERTYPUTREF) return false;
        BusMember* member = FindMutable(*members, desc.name);
        if (member == nullptr) {
            member = &members->emplace_back();
            member->name = desc.name;
            member->isProperty = property;
        } else if (member->isProperty != property || !property) {
            return false;  // a name used twice on the bus
        }
        const bool ok = property ? DescribeProperty(desc, first + i, member)
                                 : DescribeMethod(desc, first + i, member);
        if (!ok) return false;
    }
    for (BusMember& member : *members) {
        if (member.isProperty && member.getIndex == kNoMember) return false;  // write-only
        for (const std::string& name : signalled) member.signalled |= member.name == name;
        for (const std::string& name : audited) member.audited |= member.name == name;
    }
    return true;
}

const BusMember* FindMember(const std::vector<BusMember>& members, std::string_view name) {
    for (const BusMember& member : members) {
        if (member.name == name) return &member;
    }
    return nullptr;
}

const char* BusVtable::Keep(std::string text) {
    m_texts.push_back(std::move(text));
    return m_texts.back().c_str();
}

BusVtable::BusVtable(const TypeDesc& type, const std::vector<BusMember>& members,
                     const VtableHandlers& handlers) {
    m_entries.push_back(SD_BUS_VTABLE_START(0));
    for (const BusMember& member : members) {
        const char* name = Keep(member.name);
        if (member.isProperty) {
            const char* signature = Keep(std::string(1, SignatureOf(member.propertyType)));
            // Without UNPRIVILEGED, sd-bus itself would refuse every caller
            // but root before our check, reading capabilities from /proc.
            sd_bus_vtable entry =
                member.putIndex == kNoMember
                    ? sd_bus_vtable(SD_BUS_PROPERTY(name, signature, handlers.get, 0, 0))
                    : sd_bus_vtable(SD_BUS_WRITABLE_PROPERTY(name, signature, handlers.get,
                                                             handlers.set, 0,
                                                             SD_BUS_VTABLE_UNPRIVILEGED));
            if (member.signalled) entry.flags |= SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;
            m_entries.push_back(entry);
            continue;
        }
        const MemberDesc& desc = type.members[member.methodIndex - FirstVtableIndex(type)];
        sd_bus_vtable entry =
            SD_BUS_METHOD(name, Keep(member.inSignature), Keep(member.outSignature),
                          handlers.method, SD_BUS_VTABLE_UNPRIVILEGED);
        entry.x.method.names = Keep(ParameterNames(desc));
        m_entries.push_back(entry);
    }
    m_entries.push_back(SD_BUS_VTABLE_END);
}

int ReadArguments(sd_bus_message* message, std::string_view signature, std::size_t maxText,
                  std::vector<Variant>* args, HRESULT* refusal) {
    args->clear();
    *refusal = S_OK;
    for (const char code : signature) {
        Variant value;
        const VARTYPE type = code == 'i' ? VT_I4 : code == 's' ? VT_BSTR : VT_R8;
        if (type == VT_BSTR) {
            const char* text = nullptr;
            const int r = sd_bus_message_read_basic(message, 's', &text);
            if (r <= 0) return r < 0 ? r : -EBADMSG;
            if (std::strlen(text) > maxText) {
                *refusal = E_INVALIDARG;
                return 0;
            }
            value = Variant::FromText(text);
        } else {
            const int r = ReadValue(message, type, &value);
            if (r < 0) return r;
        }
        args->push_back(std::move(value));
    }
    return 0;
}

int ReadValue(sd_bus_message* message, VARTYPE type, Variant* value) {
    int r = -EINVAL;
    if (type == VT_I4) {
        std::int32_t number = 0;
        r = sd_bus_message_read_basic(message, 'i', &number);
        *value = Variant::FromI4(number);
    } else if (type == VT_R8) {
        double number = 0;
        r = sd_bus_message_read_basic(message, 'd', &number);
        *value = Variant::FromR8(number);
    } else if (type == VT_BSTR) {
        const char* text = nullptr;
        r = sd_bus_message_read_basic(message, 's', &text);
        if (r > 0) *value = Variant::FromText(text);
    }
    return r == 0 ? -EBADMSG : r;
}

int AppendValue(sd_bus_message* message, VARTYPE type, const Variant& value) {
    const bool empty = value.Type() == VT_EMPTY;
    switch (type) {
        case VT_I4: {
            const std::int32_t number = empty ? 0 : value.I4();
            return sd_bus_message_append_basic(message, 'i', &number);
        }
        case VT_R8: {
            const double number = empty ? 0.0 : value.R8();
            return sd_bus_message_append_basic(message, 'd', &number);
        }
        case VT_BSTR: {
            // A null BSTR travels as "", and a text ends at its first NUL, as
            // a C string would. Written straight into the message: a text of
            // megabytes is not copied once more on its way.
            std::string_view text = empty ? std::string_view{} : value.Text();
            text = text.substr(0, text.find('\0'));
            char* space = nullptr;
            const int r = sd_bus_message_append_string_space(message, text.size(), &space);
            if (r >= 0 && !text.empty()) std::memcpy(space, text.data(), text.size());
            return r;
        }
        default:
            return -EINVAL;
    }
}

}  // namespace fybootp::bus
