#pragma once
// How statuses travel on the bus. A failure is a bus error named
// org.fybootp.Error.HRESULT_0x8007000E (eight upper-case hex digits) whose
// message starts with the status's symbolic name; a success status is the
// reply's own int32. Errors of the bus itself become the statuses a COM
// client of a local server would see.

#include <systemd/sd-bus.h>

#include <string>
#include <string_view>

#include "platform/com/hresult.h"

namespace fybootp::bus {

inline constexpr char kErrorPrefix[] = "org.fybootp.Error.HRESULT_0x";

// "org.fybootp.Error.HRESULT_0x80070057".
std::string ErrorName(HRESULT hr);

// Fills error with hr's bus error, "NAME: detail", and returns the negative
// errno that sd-bus handlers return with it.
int SetHresultError(sd_bus_error* error, HRESULT hr, std::string_view detail);

// What a call that failed means for its caller. `r` is the negative errno of
// the failed call, `error` the bus error it carried (may be unset).
enum class CallKind {
    kActivation,  // to the well-known name, which the bus may start
    kBound,       // to the unique name of a server that answered before
};
HRESULT HresultFromBusError(const sd_bus_error* error, int r, CallKind kind);

}  // namespace fybootp::bus
