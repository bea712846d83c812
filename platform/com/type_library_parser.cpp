// Reads the text form described in type_library_text.h. The text comes from
// a file, so nothing in it is trusted: every line is taken apart into
// tokens, every token checked against what may stand there, and the
// library's rules applied declaration by declaration so that an error names
// the line that caused it.

#include <optional>
#include <span>
#include <vector>

#include "platform/com/type_library_text.h"
#include "platform/com/type_library_tokens.h"
#include "platform/com/type_library_vocabulary.h"

namespace fybootp {
namespace {

class Parser {
public:
    HRESULT Run(std::string_view text, TypeLibraryDesc* library, TypeLibraryTextError* error);

private:
    bool ParseLine(std::string_view line);
    bool ParseLibrary(TokenCursor& in);
    bool ParseType(TokenCursor& in, TYPEKIND kind);
    bool ParseMember(TokenCursor& in, INVOKEKIND kind);
    bool ParseParam(TokenCursor& in, ParamDesc* param);
    bool ParseImplements(TokenCursor& in);
    bool ParseGuid(TokenCursor& in, std::string_view what, GUID* guid);
    bool ParseFlags(TokenCursor& in, std::span<const FlagWord> words, std::string_view what,
                    unsigned* flags);
    bool FinishType();
    TypeDesc* OpenType(TYPEKIND kind) {
        return m_typeOpen && m_library.types.back().kind == kind ? &m_library.types.back()
                                                                 : nullptr;
    }
    bool Check(const RuleViolation& violation) {
        if (violation) m_error = *violation;
        return !violation;
    }

    TypeLibraryDesc m_library;
    bool m_haveLibrary = false;
    bool m_typeOpen = false;
    std::size_t m_line = 0;
    std::size_t m_typeLine = 0;
    std::size_t m_errorLine = 0;
    std::string m_error;
};

HRESULT Parser::Run(std::string_view text, TypeLibraryDesc* library, TypeLibraryTextError* error) {
    bool ok = true;
    for (std::size_t start = 0; ok;) {
        const std::size_t newline = text.find('\n', start);
        const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++m_line;
        m_errorLine = m_line;
        ok = ParseLine(line);
        if (newline == std::string_view::npos) break;
        start = newline + 1;
    }
    if (ok) {
        m_errorLine = m_typeLine;
        ok = FinishType();
    }
    if (ok && !m_haveLibrary) {
        ok = false;
        m_error = "no library line";
        m_errorLine = 0;
    }
    if (!ok) {
        if (error != nullptr) *error = TypeLibraryTextError{m_errorLine, m_error};
        return TYPE_E_UNSUPFORMAT;
    }
    *library = std::move(m_library);
    return S_OK;
}

bool Parser::ParseLine(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') return true;
    std::vector<TextToken> tokens;
    if (!TokenizeTypeLibraryLine(line, &tokens, &m_error)) return false;
    TokenCursor in(tokens, &m_error);
    const auto keyword = in.Word("a keyword");
    if (!keyword) return false;
    const auto memberKind = InvokeKindFromWord(*keyword);
    const bool declaresLibrary = *keyword == "library";
    if (!declaresLibrary && !memberKind && *keyword != "interface" && *keyword != "coclass" &&
        *keyword != "implements") {
        m_error = "unknown keyword '" + *keyword + "'";
        return false;
    }
    if (m_haveLibrary == declaresLibrary) {
        m_error = declaresLibrary ? "a second library line"
                                  : "'" + *keyword + "' before the library line";
        return false;
    }
    if (declaresLibrary) return ParseLibrary(in);
    if (memberKind) return ParseMember(in, *memberKind);
    if (*keyword == "implements") return ParseImplements(in);
    return ParseType(in, *keyword == "interface" ? TKIND_INTERFACE : TKIND_COCLASS);
}

bool Parser::ParseLibrary(TokenCursor& in) {
    const auto name = in.Word("the library name");
    if (!name) return false;
    m_library.name = *name;
    if (!ParseGuid(in, "the LIBID", &m_library.libid)) return false;
    const auto version = in.Word("the version MAJOR.MINOR");
    if (!version) return false;
    const std::size_t dot = version->find('.');
    const auto major = DecimalFromWord<WORD>(std::string_view(*version).substr(0, dot));
    const auto minor = dot == std::string::npos
                           ? std::nullopt
                           : DecimalFromWord<WORD>(std::string_view(*version).substr(dot + 1));
    if (!major || !minor) {
        m_error = "malformed version '" + *version + "', expected MAJOR.MINOR";
        return false;
    }
    m_library.majorVersion = *major;
    m_library.minorVersion = *minor;
    if (!in.Keyword("lcid")) return false;
    const auto lcidWord = in.Word("the LCID");
    if (!lcidWord) return false;
    const auto lcid = DecimalFromWord<LCID>(*lcidWord);
    if (!lcid) {
        m_error = "malformed LCID '" + *lcidWord + "'";
        return false;
    }
    m_library.lcid = *lcid;
    const auto syskindWord = in.Word("the system kind");
    if (!syskindWord) return false;
    const auto syskind = SyskindFromWord(*syskindWord);
    if (!syskind) {
        m_error = "unknown system kind '" + *syskindWord + "'";
        return false;
    }
    m_library.syskind = *syskind;
    unsigned flags = 0;
    if (!ParseFlags(in, LibraryFlagWords(), "library", &flags)) return false;
    m_library.flags = static_cast<WORD>(flags);
    const auto help = in.String("the help string");
    if (!help || !in.End()) return false;
    m_library.helpString = *help;
    m_haveLibrary = true;
    return Check(CheckLibraryHeader(m_library));
}

bool Parser::ParseType(TokenCursor& in, TYPEKIND kind) {
    if (!FinishType()) {
        // The type before this one is incomplete: its own line is at fault.
        m_errorLine = m_typeLine;
        return false;
    }
    TypeDesc type;
    type.kind = kind;
    const auto name = in.Word("a type name");
    if (!name) return false;
    type.name = *name;
    if (!ParseGuid(in, kind == TKIND_INTERFACE ? "the IID" : "the CLSID", &type.guid)) return false;
    if (kind == TKIND_INTERFACE) {
        if (!in.Punct(':')) return false;
        const auto parent = in.Word("the parent interface");
        if (!parent) return false;
        type.parent = *parent;
    }
    unsigned flags = 0;
    const auto words = kind == TKIND_INTERFACE ? InterfaceFlagWords() : CoClassFlagWords();
    if (!ParseFlags(in, words, kind == TKIND_INTERFACE ? "interface" : "coclass", &flags)) {
        return false;
    }
    type.flags = static_cast<WORD>(flags);
    const auto help = in.String("the help string");
    if (!help || !in.End()) return false;
    type.helpString = *help;
    if (!Check(CheckNewType(m_library, type))) return false;
    m_library.types.push_back(std::move(type));
    m_typeOpen = true;
    m_typeLine = m_line;
    return true;
}

bool Parser::ParseMember(TokenCursor& in, INVOKEKIND kind) {
    TypeDesc* interface = OpenType(TKIND_INTERFACE);
    if (interface == nullptr) {
        m_error = "a member outside an interface";
        return false;
    }
    MemberDesc member;
    member.invokeKind = kind;
    const auto idWord = in.Word("a DISPID");
    if (!idWord) return false;
    const auto id = DecimalFromWord<MEMBERID>(*idWord);
    if (!id) {
        m_error = "malformed DISPID '" + *idWord + "'";
        return false;
    }
    member.memid = *id;
    const auto name = in.Word("a member name");
    if (!name) return false;
    member.name = *name;
    if (!in.Keyword(kReturnTypeWord) || !in.Punct('(')) return false;
    while (!in.NextIsPunct(')')) {
        if (!member.params.empty() && !in.Punct(',')) return false;
        ParamDesc param;
        if (!ParseParam(in, &param)) return false;
        member.params.push_back(std::move(param));
    }
    in.Skip();
    const auto help = in.String("the help string");
    if (!help || !in.End()) return false;
    member.helpString = *help;
    if (!Check(CheckNewMember(*interface, member))) return false;
    interface->members.push_back(std::move(member));
    return true;
}

bool Parser::ParseParam(TokenCursor& in, ParamDesc* param) {
    unsigned flags = 0;
    while (in.NextIsWord()) {
        const auto flag = FlagFromWord(ParamFlagWords(), in.Peek()->text);
        if (!flag) break;
        if ((flags & *flag) != 0) return in.Fail("each parameter flag once");
        flags |= *flag;
        in.Skip();
    }
    if (flags == 0) return in.Fail("'in' or 'out retval'");
    param->flags = static_cast<WORD>(flags);
    const auto typeWord = in.Word("a parameter type");
    if (!typeWord) return false;
    const auto type = ParamTypeFromWord(*typeWord);
    if (!type) {
        m_error = "unknown parameter type '" + *typeWord + "'";
        return false;
    }
    param->type = *type;
    param->byRef = in.NextIsPunct('*');
    if (param->byRef) in.Skip();
    if (in.NextIsWord()) {
        param->name = in.Peek()->text;
        in.Skip();
    }
    return true;
}

bool Parser::ParseImplements(TokenCursor& in) {
    TypeDesc* coclass = OpenType(TKIND_COCLASS);
    if (coclass == nullptr) {
        m_error = "'implements' outside a coclass";
        return false;
    }
    ImplementedInterface implemented;
    const auto name = in.Word("an interface name");
    if (!name) return false;
    implemented.name = *name;
    unsigned flags = 0;
    if (!ParseFlags(in, ImplementedFlagWords(), "implements", &flags) || !in.End()) return false;
    implemented.flags = static_cast<INT>(flags);
    if (!Check(CheckNewImplemented(m_library, *coclass, implemented))) return false;
    coclass->interfaces.push_back(std::move(implemented));
    return true;
}

bool Parser::ParseGuid(TokenCursor& in, std::string_view what, GUID* guid) {
    const auto word = in.Word(what);
    if (!word) return false;
    const auto parsed = fybootp::ParseGuid(*word);
    if (!parsed) {
        m_error = "malformed GUID '" + *word + "'";
        return false;
    }
    *guid = *parsed;
    return true;
}

bool Parser::ParseFlags(TokenCursor& in, std::span<const FlagWord> words, std::string_view what,
                        unsigned* flags) {
    while (in.NextIsWord()) {
        const std::string& word = in.Peek()->text;
        const auto flag = FlagFromWord(words, word);
        if (!flag) {
            m_error = "unknown " + std::string(what) + " flag '" + word + "'";
            return false;
        }
        if ((*flags & *flag) != 0) {
            m_error = "repeated flag '" + word + "'";
            return false;
        }
        *flags |= *flag;
        in.Skip();
    }
    return true;
}

bool Parser::FinishType() {
    if (!m_typeOpen) return true;
    m_typeOpen = false;
    return Check(CheckCompletedType(m_library.types.back()));
}

}  // namespace

HRESULT ParseTypeLibraryText(std::string_view text, TypeLibraryDesc* library,
                             TypeLibraryTextError* error) {
    if (library == nullptr) return E_POINTER;
    return Parser().Run(text, library, error);
}

}  // namespace fybootp
