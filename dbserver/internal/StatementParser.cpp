#include "dbserver/internal/StatementParser.h"

#include "dbserver/DbError.h"
#include "dbserver/StatementText.h"
#include "fsutil/Paths.h"

#include <cctype>

namespace dbserver {
namespace {

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    ProcedureCall parse() {
        keyword("EXECUTE");
        keyword("PROCEDURE");
        ProcedureCall call;
        call.name = identifier();
        expect('(');
        skipBlanks();
        if (peek() != ')') {
            call.arguments.push_back(argument());
            while (skipBlanks(), peek() == ',') {
                ++pos_;
                call.arguments.push_back(argument());
            }
        }
        expect(')');
        skipBlanks();
        if (peek() == ';') ++pos_;
        skipBlanks();
        if (pos_ != text_.size()) fail("unexpected text after the statement");
        return call;
    }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        throw DbError("Syntax error at position " + std::to_string(pos_ + 1) + ": " + what);
    }
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    static bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
    void skipBlanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
    }
    std::string word() {
        skipBlanks();
        const size_t start = pos_;
        while (pos_ < text_.size() && isWordChar(text_[pos_]))
            ++pos_;
        return std::string(text_.substr(start, pos_ - start));
    }
    void keyword(std::string_view expected) {
        skipBlanks();
        const size_t start = pos_;
        if (!fsutil::equalsIgnoringCase(word(), expected)) {
            pos_ = start;
            fail("expected " + std::string(expected));
        }
    }
    std::string identifier() {
        skipBlanks();
        if (!std::isalpha(static_cast<unsigned char>(peek())) && peek() != '_')
            fail("expected a procedure name");
        return word();
    }
    void expect(char c) {
        skipBlanks();
        if (peek() != c) fail(std::string("expected '") + c + "'");
        ++pos_;
    }
    std::optional<std::string> argument() {
        skipBlanks();
        if (peek() == '\'') {
            const size_t start = pos_++;
            std::string value;
            for (;;) {
                if (pos_ >= text_.size()) {
                    pos_ = start;
                    fail("unterminated string literal");
                }
                const char c = text_[pos_++];
                if (c == '\0') {
                    --pos_;
                    fail("a string literal may not hold a NUL character");
                }
                if (c != '\'') {
                    value += c;
                } else if (peek() == '\'') {
                    value += '\'';
                    ++pos_;
                } else {
                    return value;
                }
            }
        }
        const size_t start = pos_;
        if (fsutil::equalsIgnoringCase(word(), "NULL")) return std::nullopt;
        pos_ = start;
        fail("expected a string literal or NULL");
    }

    std::string_view text_;
    size_t pos_ = 0;
};

} // namespace

std::string sqlLiteralBody(std::string_view text) {
    std::string body;
    for (char c : text) {
        body += c;
        if (c == '\'') body += '\'';
    }
    return body;
}

ProcedureCall parseStatement(std::string_view statement) {
    return Parser(statement).parse();
}

} // namespace dbserver
