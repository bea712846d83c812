#pragma once
// The bus form of an interface described by a type library: a method for
// each method, a bus property for each property (with a setter only when
// the property has a put), the sd-bus vtable that exports them, and the
// conversions between bus values and Variants. long travels as "i", BSTR as
// "s" (a null BSTR as ""), double as "d".

#include <systemd/sd-bus.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/bus/bus_shape.h"

namespace fybootp::bus {

inline constexpr std::size_t kNoMember = SIZE_MAX;

struct BusMember {
    std::string name;
    bool isProperty = false;
    // Methods: the in-parameters' signature; the reply is the status "i"
    // followed by the retval, if any.
    std::string inSignature;
    std::string outSignature;
    std::size_t methodIndex = kNoMember;  // vtable index
    // Properties: their type's signature and the vtable indices of get and put.
    VARTYPE propertyType = VT_EMPTY;
    std::size_t getIndex = kNoMember;
    std::size_t putIndex = kNoMember;
    bool signalled = false;  // emits PropertiesChanged
    bool audited = false;    // a call (a put) changes state: the audit hook hears of it
};

// One entry per method and one per property, in the order of first
// appearance. False when a member has a type that has no bus form here.
// `signalled` names the properties that emit PropertiesChanged, `audited`
// the members whose calls are reported.
bool DescribeMembers(const TypeDesc& type, std::vector<BusMember>* members,
                     const std::vector<std::string>& signalled = {},
                     const std::vector<std::string>& audited = {});

struct VtableHandlers {
    sd_bus_message_handler_t method;
    sd_bus_property_get_t get;
    sd_bus_property_set_t set;
};

// An sd-bus vtable and the texts it points into; keep it while exported.
// Every method and setter is open to any caller as far as sd-bus goes: the
// handlers check the caller themselves (bus_server.h).
class BusVtable {
public:
    BusVtable(const TypeDesc& type, const std::vector<BusMember>& members,
              const VtableHandlers& handlers);
    const sd_bus_vtable* Get() const { return m_entries.data(); }

private:
    const char* Keep(std::string text);
    std::deque<std::string> m_texts;
    std::vector<sd_bus_vtable> m_entries;
};

const BusMember* FindMember(const std::vector<BusMember>& members, std::string_view name);

char SignatureOf(VARTYPE type);

// Reads the message's arguments of `signature` into Variants; a text longer
// than maxText gives E_INVALIDARG and no call. A negative errno when the
// message cannot be read.
int ReadArguments(sd_bus_message* message, std::string_view signature, std::size_t maxText,
                  std::vector<Variant>* args, HRESULT* refusal);
// Appends value as `type`, or the type's zero when value is VT_EMPTY.
int AppendValue(sd_bus_message* message, VARTYPE type, const Variant& value);
// Reads one value of `type` from the message.
int ReadValue(sd_bus_message* message, VARTYPE type, Variant* value);

}  // namespace fybootp::bus
