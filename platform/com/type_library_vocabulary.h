#pragma once
// The words of the type library text form, and with them the set of values
// a library may hold: a parameter type or flag without a word here cannot
// be written down, so the rules reject it too.

#include <optional>
#include <span>
#include <string_view>

#include "platform/com/type_library.h"

namespace fybootp {

struct FlagWord {
    std::string_view word;
    unsigned value;
};

// IDL spellings: short, long, double, BSTR, VARIANT_BOOL, VARIANT.
std::optional<VARTYPE> ParamTypeFromWord(std::string_view word);
// Empty for a type that is not a parameter type.
std::string_view ParamTypeWord(VARTYPE type);

// Every member returns HRESULT.
constexpr std::string_view kReturnTypeWord = "HRESULT";

// method, propget, propput.
std::optional<INVOKEKIND> InvokeKindFromWord(std::string_view word);
std::string_view InvokeKindWord(INVOKEKIND kind);

std::optional<SYSKIND> SyskindFromWord(std::string_view word);
std::string_view SyskindWord(SYSKIND kind);

// Parameter flag words, in the order they are written: in, out, retval.
std::span<const FlagWord> ParamFlagWords();
// Flag words of a library, an interface, a class and an implemented interface.
std::span<const FlagWord> LibraryFlagWords();
std::span<const FlagWord> InterfaceFlagWords();
std::span<const FlagWord> CoClassFlagWords();
std::span<const FlagWord> ImplementedFlagWords();

// The bits that a table's words can express.
unsigned FlagMask(std::span<const FlagWord> words);
std::optional<unsigned> FlagFromWord(std::span<const FlagWord> words, std::string_view word);

}  // namespace fybootp
