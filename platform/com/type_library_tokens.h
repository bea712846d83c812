#pragma once
// The lexical layer of the type library text form (type_library_text.h):
// one line taken apart into words, strings and punctuation, and a cursor
// that reads them in order and says what it expected where it fails.

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fybootp {

enum class TextTokenKind { kWord, kString, kPunct };

struct TextToken {
    TextTokenKind kind;
    std::string text;  // a string's text without quotes and escapes
};

// Blanks separate words; "(", ")", ",", ":" and "*" stand alone; a string is
// in double quotes with \" and \\ as its only escapes and must be UTF-8
// without control characters; a word is printable ASCII. False, with the
// reason in *error, for a line that breaks these rules.
bool TokenizeTypeLibraryLine(std::string_view line, std::vector<TextToken>* tokens,
                             std::string* error);

// A decimal number that fills the whole word, without a "+".
template <class T>
std::optional<T> DecimalFromWord(std::string_view word) {
    T value{};
    if (word.empty() || word.front() == '+') return std::nullopt;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
    return value;
}

// Reads one line's tokens in order; a failed expectation records what was
// expected and what stood there instead.
class TokenCursor {
public:
    TokenCursor(const std::vector<TextToken>& tokens, std::string* error)
        : m_tokens(tokens), m_error(error) {}

    const TextToken* Peek() const { return m_pos < m_tokens.size() ? &m_tokens[m_pos] : nullptr; }
    void Skip() { ++m_pos; }
    bool NextIsWord() const { return Peek() != nullptr && Peek()->kind == TextTokenKind::kWord; }
    bool NextIsPunct(char c) const {
        return Peek() != nullptr && Peek()->kind == TextTokenKind::kPunct && Peek()->text[0] == c;
    }

    std::optional<std::string> Word(std::string_view what) {
        return Take(TextTokenKind::kWord, what);
    }
    std::optional<std::string> String(std::string_view what) {
        return Take(TextTokenKind::kString, what);
    }
    bool Punct(char c) {
        if (NextIsPunct(c)) {
            Skip();
            return true;
        }
        return Fail(std::string("'") + c + "'");
    }
    bool Keyword(std::string_view word) {
        if (NextIsWord() && Peek()->text == word) {
            Skip();
            return true;
        }
        // Appended rather than "'" + std::string(word), on which GCC 12 warns falsely.
        std::string expected = "'";
        expected.append(word);
        expected += '\'';
        return Fail(expected);
    }
    bool End() {
        if (Peek() == nullptr) return true;
        *m_error = "unexpected " + Describe() + " at the end of the line";
        return false;
    }
    bool Fail(std::string_view expected) {
        *m_error = "expected " + std::string(expected) + ", found " + Describe();
        return false;
    }

private:
    std::optional<std::string> Take(TextTokenKind kind, std::string_view what) {
        if (Peek() == nullptr || Peek()->kind != kind) {
            Fail(what);
            return std::nullopt;
        }
        return m_tokens[m_pos++].text;
    }
    std::string Describe() const {
        const TextToken* token = Peek();
        if (token == nullptr) return "the end of the line";
        if (token->kind == TextTokenKind::kString) return "a string";
        return "'" + token->text + "'";
    }

    const std::vector<TextToken>& m_tokens;
    std::size_t m_pos = 0;
    std::string* m_error;
};

}  // namespace fybootp
