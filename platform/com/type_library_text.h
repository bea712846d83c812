#pragma once
// The text form of a type library: our own small, line-based source format,
// read strictly and written canonically.
//
//   # FyBootp sample
//   library SAMPLELib {11111111-2222-3333-4444-555555555555} 1.0 lcid 0 win32 "Sample Library"
//
//   interface ISample {...} : IDispatch dual oleautomation "ISample Interface"
//     propget 1 Count HRESULT (out retval long* pVal) "property Count"
//     propput 1 Count HRESULT (in long) "property Count"
//     method 2 Describe HRESULT (in BSTR label, in long times, out retval BSTR* pVal) "method
//     Describe"
//
//   coclass Sample {...} cancreate "Sample Class"
//     implements ISample default
//
// Lines (words are separated by blanks; "(", ")", ",", ":" and "*" stand
// alone; a string is in double quotes, with \" and \\ as its only escapes):
//   library NAME {LIBID} MAJOR.MINOR lcid LCID SYSKIND [FLAG...] "HELP"
//       SYSKIND: win16 win32 mac win64; FLAG: restricted control hidden hasdiskimage
//   interface NAME {IID} : PARENT [FLAG...] "HELP"
//       PARENT: IUnknown or IDispatch;
//       FLAG: hidden dual nonextensible oleautomation restricted
//   KIND DISPID NAME HRESULT ( [PARAM {, PARAM}] ) "HELP"
//       a member of the interface above, in vtable order; KIND: method
//       propget propput; PARAM: in TYPE [NAME] | out retval TYPE* [NAME];
//       TYPE: short long double BSTR VARIANT_BOOL VARIANT
//   coclass NAME {CLSID} [FLAG...] "HELP"
//       FLAG: appobject cancreate hidden control restricted
//   implements INTERFACE [FLAG...]
//       of the coclass above; FLAG: default source restricted
// "library" comes first and once. Lines holding only blanks, and lines
// whose first non-blank is "#", are skipped. GUIDs are in registry form;
// numbers are decimal. The rules of type_library.h hold as well (no
// duplicate name or DISPID in an interface, a retval only last, ...).
// Anything else is an error naming the line.

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/com/type_library.h"

namespace fybootp {

struct TypeLibraryTextError {
    std::size_t line = 0;  // 1-based; 0 when the text as a whole is at fault
    std::string message;
};

// S_OK and the library in *library, or TYPE_E_UNSUPFORMAT and the first
// error found in *error (when given); *library is then unchanged.
HRESULT ParseTypeLibraryText(std::string_view text, TypeLibraryDesc* library,
                             TypeLibraryTextError* error);

// The canonical text of a library that obeys the rules; parsing it gives
// the same library back.
std::string WriteTypeLibraryText(const TypeLibraryDesc& library);

}  // namespace fybootp
