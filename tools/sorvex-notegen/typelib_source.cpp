#include "tools/sorvex-notegen/typelib_source.h"

#include <charconv>
#include <optional>
#include <stdexcept>
#include <vector>

namespace sorvex::notegen {

namespace com = sorvex::com;

namespace {

struct Token {
    enum Kind { Word, String, Punct, End } kind = End;
    std::string text;  // a word, a string's bytes, or the punctuation character
    int line = 0;
};

// Thrown inside the parser, caught at its entry.
struct SourceError : std::runtime_error {
    SourceError(int line, const std::string& what) : std::runtime_error(what), line(line) {}
    int line;
};

bool IsWordChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::vector<Token> Lex(std::string_view s) {
    std::vector<Token> out;
    int line = 1;
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
            while (i < s.size() && s[i] != '\n') {
                ++i;
            }
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            const int start = line;
            i += 2;
            while (i + 1 < s.size() && !(s[i] == '*' && s[i + 1] == '/')) {
                line += s[i] == '\n' ? 1 : 0;
                ++i;
            }
            if (i + 1 >= s.size()) {
                throw SourceError(start, "the comment is not closed");
            }
            i += 2;
        } else if (c == '"') {
            Token t{Token::String, {}, line};
            ++i;
            for (;;) {
                if (i >= s.size() || s[i] == '\n') {
                    throw SourceError(t.line, "the string is not closed");
                }
                char ch = s[i++];
                if (ch == '"') {
                    break;
                }
                if (ch == '\\') {
                    if (i >= s.size()) {
                        throw SourceError(line, "the string is not closed");
                    }
                    const char e = s[i++];
                    switch (e) {
                        case '"':
                        case '\\':
                            ch = e;
                            break;
                        case 'n':
                            ch = '\n';
                            break;
                        case 'r':
                            ch = '\r';
                            break;
                        case 't':
                            ch = '\t';
                            break;
                        case 'x': {
                            const int hi = i < s.size() ? HexDigit(s[i]) : -1;
                            const int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
                            if (hi < 0 || lo < 0) {
                                throw SourceError(line, "\\x needs two hex digits");
                            }
                            ch = static_cast<char>(hi * 16 + lo);
                            i += 2;
                            break;
                        }
                        default:
                            throw SourceError(line, std::string("unknown escape \\") + e);
                    }
                }
                t.text.push_back(ch);
            }
            out.push_back(std::move(t));
        } else if (IsWordChar(c)) {
            Token t{Token::Word, {}, line};
            while (i < s.size() && IsWordChar(s[i])) {
                t.text.push_back(s[i++]);
            }
            out.push_back(std::move(t));
        } else if (std::string_view("[](){},;:*").find(c) != std::string_view::npos) {
            out.push_back(Token{Token::Punct, std::string(1, c), line});
            ++i;
        } else {
            throw SourceError(line, std::string("unexpected character '") + c + "'");
        }
    }
    out.push_back(Token{Token::End, {}, line});
    return out;
}

struct Attribute {
    std::string name;
    std::optional<std::string> arg;
    bool argIsString = false;
    int line = 0;
};

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : m_Tokens(std::move(tokens)) {}

    com::TypeLibDesc Run() {
        bool haveLibrary = false;
        while (Peek().kind != Token::End) {
            if (PeekWord("import")) {
                Next();
                ExpectString();
                ExpectPunct(';');
                continue;
            }
            std::vector<Attribute> attrs = Attributes();
            const Token& kw = ExpectWord();
            if (kw.text == "interface") {
                Interface(attrs);
            } else if (kw.text == "library") {
                if (haveLibrary) {
                    throw SourceError(kw.line, "a file holds one library");
                }
                haveLibrary = true;
                Library(attrs);
            } else {
                throw SourceError(
                    kw.line, "expected \"interface\" or \"library\", found \"" + kw.text + "\"");
            }
        }
        if (!haveLibrary) {
            throw SourceError(Peek().line, "the file has no library block");
        }
        ResolveCoclasses();
        return std::move(m_Lib);
    }

  private:
    struct PendingImpl {
        std::size_t type;
        std::string name;
        std::uint16_t flags;
        int line;
    };

    const Token& Peek() const { return m_Tokens[m_Pos]; }
    const Token& Next() {
        const Token& t = m_Tokens[m_Pos];
        if (t.kind != Token::End) {
            ++m_Pos;
        }
        return t;
    }
    bool PeekPunct(char c) const { return Peek().kind == Token::Punct && Peek().text[0] == c; }
    bool PeekWord(std::string_view w) const {
        return Peek().kind == Token::Word && Peek().text == w;
    }
    void ExpectPunct(char c) {
        if (!PeekPunct(c)) {
            throw SourceError(Peek().line, std::string("expected '") + c + "'" + Found());
        }
        Next();
    }
    const Token& ExpectWord() {
        if (Peek().kind != Token::Word) {
            throw SourceError(Peek().line, "expected a name" + Found());
        }
        return Next();
    }
    void ExpectKeyword(std::string_view w) {
        if (!PeekWord(w)) {
            throw SourceError(Peek().line, "expected \"" + std::string(w) + "\"" + Found());
        }
        Next();
    }
    const Token& ExpectString() {
        if (Peek().kind != Token::String) {
            throw SourceError(Peek().line, "expected a string" + Found());
        }
        return Next();
    }
    std::string Found() const {
        const Token& t = Peek();
        switch (t.kind) {
            case Token::End:
                return ", found the end of the file";
            case Token::String:
                return ", found a string";
            default:
                return ", found \"" + t.text + "\"";
        }
    }
    void OptionalSemicolon() {
        if (PeekPunct(';')) {
            Next();
        }
    }

    std::vector<Attribute> Attributes() {
        std::vector<Attribute> attrs;
        if (!PeekPunct('[')) {
            return attrs;
        }
        Next();
        for (;;) {
            Attribute a;
            a.line = Peek().line;
            a.name = ExpectWord().text;
            if (PeekPunct('(')) {
                Next();
                if (Peek().kind == Token::String) {
                    a.arg = Next().text;
                    a.argIsString = true;
                } else {
                    a.arg = ExpectWord().text;
                }
                ExpectPunct(')');
            }
            attrs.push_back(std::move(a));
            if (PeekPunct(',')) {
                Next();
                continue;
            }
            ExpectPunct(']');
            return attrs;
        }
    }

    static const std::string& Arg(const Attribute& a, bool wantString) {
        if (!a.arg || a.argIsString != wantString) {
            throw SourceError(a.line, "attribute " + a.name + " needs " +
                                          (wantString ? "a string" : "a value") +
                                          " in parentheses");
        }
        return *a.arg;
    }
    static void NoArg(const Attribute& a) {
        if (a.arg) {
            throw SourceError(a.line, "attribute " + a.name + " takes no value");
        }
    }
    static com::GUID Uuid(const Attribute& a) {
        std::optional<com::GUID> g = com::ParseGuid(Arg(a, false));
        if (!g) {
            throw SourceError(a.line, "\"" + *a.arg + "\" is not a GUID");
        }
        return *g;
    }
    static std::int64_t Number(const Attribute& a, std::int64_t min, std::int64_t max) {
        std::string_view text = Arg(a, false);
        bool negative = false;
        if (!text.empty() && text.front() == '-') {
            negative = true;
            text.remove_prefix(1);
        }
        int base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            base = 16;
            text.remove_prefix(2);
        }
        std::int64_t v = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
        if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
            throw SourceError(a.line, "\"" + *a.arg + "\" is not a number");
        }
        v = negative ? -v : v;
        if (v < min || v > max) {
            throw SourceError(a.line, a.name + "(" + *a.arg + ") is out of range");
        }
        return v;
    }
    static void Unsupported(const Attribute& a, std::string_view where) {
        throw SourceError(a.line,
                          "attribute " + a.name + " is not supported on " + std::string(where));
    }

    void Library(const std::vector<Attribute>& attrs) {
        bool haveUuid = false;
        for (const Attribute& a : attrs) {
            if (a.name == "uuid") {
                m_Lib.libid = Uuid(a);
                haveUuid = true;
            } else if (a.name == "version") {
                const std::string& v = Arg(a, false);
                const std::size_t dot = v.find('.');
                std::uint32_t major = 0, minor = 0;
                const char* b = v.data();
                auto r1 =
                    std::from_chars(b, b + (dot == std::string::npos ? v.size() : dot), major);
                bool ok = r1.ec == std::errc() &&
                          r1.ptr == b + (dot == std::string::npos ? v.size() : dot);
                if (ok && dot != std::string::npos) {
                    auto r2 = std::from_chars(b + dot + 1, b + v.size(), minor);
                    ok = r2.ec == std::errc() && r2.ptr == b + v.size() && dot + 1 < v.size();
                }
                if (!ok || major > 0xFFFF || minor > 0xFFFF) {
                    throw SourceError(a.line, "version(" + v + ") is not \"major.minor\"");
                }
                m_Lib.major = static_cast<std::uint16_t>(major);
                m_Lib.minor = static_cast<std::uint16_t>(minor);
            } else if (a.name == "lcid") {
                m_Lib.lcid = static_cast<com::LCID>(Number(a, 0, 0xFFFFFFFF));
            } else if (a.name == "helpstring") {
                m_Lib.help = Arg(a, true);
            } else {
                Unsupported(a, "a library");
            }
        }
        const Token& name = ExpectWord();
        if (!haveUuid) {
            throw SourceError(name.line, "library " + name.text + " needs a uuid");
        }
        m_Lib.name = name.text;
        m_Lib.syskind = com::SysKind::Linux64;
        ExpectPunct('{');
        while (!PeekPunct('}')) {
            if (PeekWord("importlib")) {
                Next();
                ExpectPunct('(');
                ExpectString();
                ExpectPunct(')');
                ExpectPunct(';');
                continue;
            }
            std::vector<Attribute> inner = Attributes();
            const Token& kw = ExpectWord();
            if (kw.text == "interface") {
                Interface(inner);
            } else if (kw.text == "coclass") {
                Coclass(inner);
            } else {
                throw SourceError(
                    kw.line, "expected \"interface\" or \"coclass\", found \"" + kw.text + "\"");
            }
        }
        ExpectPunct('}');
        OptionalSemicolon();
    }

    void Interface(const std::vector<Attribute>& attrs) {
        const Token& name = ExpectWord();
        if (PeekPunct(';')) {  // a reference to an interface defined elsewhere in the file
            if (!attrs.empty()) {
                throw SourceError(name.line,
                                  "a reference to " + name.text + " takes no attributes");
            }
            Next();
            return;
        }
        com::TypeDesc t;
        t.kind = com::TypeKind::Interface;
        t.name = name.text;
        bool haveUuid = false;
        for (const Attribute& a : attrs) {
            if (a.name == "uuid") {
                t.guid = Uuid(a);
                haveUuid = true;
            } else if (a.name == "helpstring") {
                t.help = Arg(a, true);
            } else if (a.name == "dual") {
                NoArg(a);
                t.flags |= com::TYPEFLAG_FDUAL;
            } else if (a.name == "oleautomation") {
                NoArg(a);
                t.flags |= com::TYPEFLAG_FOLEAUTOMATION;
            } else if (a.name == "nonextensible") {
                NoArg(a);
                t.flags |= com::TYPEFLAG_FNONEXTENSIBLE;
            } else if (a.name == "object" || a.name == "pointer_default") {
                // COM interface markers of MIDL: every interface here is one.
            } else {
                Unsupported(a, "an interface");
            }
        }
        if (!haveUuid) {
            throw SourceError(name.line, "interface " + name.text + " needs a uuid");
        }
        ExpectPunct(':');
        const Token& base = ExpectWord();
        if (base.text != "IDispatch") {
            throw SourceError(base.line, "interface " + name.text +
                                             " must derive from IDispatch (dual interfaces only)");
        }
        ExpectPunct('{');
        while (!PeekPunct('}')) {
            t.funcs.push_back(Method(t.name));
        }
        ExpectPunct('}');
        OptionalSemicolon();
        m_Lib.types.push_back(std::move(t));
    }

    com::FuncDesc Method(const std::string& owner) {
        com::FuncDesc f;
        std::vector<Attribute> attrs = Attributes();
        const int line = Peek().line;
        bool haveId = false;
        for (const Attribute& a : attrs) {
            if (a.name == "id") {
                f.dispid = static_cast<com::DISPID>(Number(a, INT32_MIN, INT32_MAX));
                haveId = true;
            } else if (a.name == "helpstring") {
                f.help = Arg(a, true);
            } else if (a.name == "propget" || a.name == "propput") {
                throw SourceError(a.line, "properties are not supported; declare methods");
            } else {
                Unsupported(a, "a method");
            }
        }
        ExpectKeyword("HRESULT");
        f.name = ExpectWord().text;
        if (!haveId) {
            throw SourceError(line, owner + "." + f.name + " needs an id");
        }
        ExpectPunct('(');
        if (PeekWord("void")) {
            Next();
        } else {
            while (!PeekPunct(')')) {
                f.params.push_back(Param());
                if (!PeekPunct(')')) {
                    ExpectPunct(',');
                }
            }
        }
        ExpectPunct(')');
        ExpectPunct(';');
        return f;
    }

    com::ParamDesc Param() {
        com::ParamDesc p;
        p.flags = 0;
        for (const Attribute& a : Attributes()) {
            NoArg(a);
            if (a.name == "in") {
                p.flags |= com::PARAMFLAG_FIN;
            } else if (a.name == "out") {
                p.flags |= com::PARAMFLAG_FOUT;
            } else if (a.name == "retval") {
                p.flags |= com::PARAMFLAG_FRETVAL;
            } else {
                Unsupported(a, "a parameter");
            }
        }
        if (p.flags == 0) {
            p.flags = com::PARAMFLAG_FIN;
        }
        const Token& type = ExpectWord();
        com::VARTYPE vt;
        if (type.text == "long") {
            vt = com::VT_I4;
        } else if (type.text == "BSTR") {
            vt = com::VT_BSTR;
        } else if (type.text == "VARIANT_BOOL") {
            vt = com::VT_BOOL;
        } else if (type.text == "CURRENCY" || type.text == "CY") {
            vt = com::VT_CY;
        } else if (type.text == "IDispatch") {
            ExpectPunct('*');
            vt = com::VT_DISPATCH;
            if (PeekPunct('*')) {
                throw SourceError(type.line, "IDispatch** is not supported");
            }
        } else {
            throw SourceError(type.line, "unsupported parameter type \"" + type.text + "\"");
        }
        if (vt != com::VT_DISPATCH && PeekPunct('*')) {
            Next();
            vt = static_cast<com::VARTYPE>(vt | com::VT_BYREF);
            if (PeekPunct('*')) {
                throw SourceError(type.line, type.text + "** is not supported");
            }
        }
        p.type = vt;
        p.name = ExpectWord().text;
        return p;
    }

    void Coclass(const std::vector<Attribute>& attrs) {
        const Token& name = ExpectWord();
        com::TypeDesc t;
        t.kind = com::TypeKind::CoClass;
        t.name = name.text;
        t.flags = com::TYPEFLAG_FCANCREATE;
        bool haveUuid = false;
        for (const Attribute& a : attrs) {
            if (a.name == "uuid") {
                t.guid = Uuid(a);
                haveUuid = true;
            } else if (a.name == "helpstring") {
                t.help = Arg(a, true);
            } else if (a.name == "noncreatable") {
                NoArg(a);
                t.flags &= static_cast<std::uint16_t>(~com::TYPEFLAG_FCANCREATE);
            } else {
                Unsupported(a, "a coclass");
            }
        }
        if (!haveUuid) {
            throw SourceError(name.line, "coclass " + name.text + " needs a uuid");
        }
        ExpectPunct('{');
        const std::size_t index = m_Lib.types.size();
        while (!PeekPunct('}')) {
            std::uint16_t flags = 0;
            for (const Attribute& a : Attributes()) {
                NoArg(a);
                if (a.name == "default") {
                    flags |= com::IMPLTYPEFLAG_FDEFAULT;
                } else if (a.name == "source") {
                    throw SourceError(a.line, "event interfaces ([source]) are not supported");
                } else {
                    Unsupported(a, "an interface of a coclass");
                }
            }
            ExpectKeyword("interface");
            const Token& iface = ExpectWord();
            ExpectPunct(';');
            m_Pending.push_back({index, iface.text, flags, iface.line});
        }
        ExpectPunct('}');
        OptionalSemicolon();
        m_Lib.types.push_back(std::move(t));
    }

    void ResolveCoclasses() {
        for (const PendingImpl& p : m_Pending) {
            const com::TypeDesc* found = nullptr;
            for (const com::TypeDesc& t : m_Lib.types) {
                if (t.kind == com::TypeKind::Interface && t.name == p.name) {
                    found = &t;
                }
            }
            if (found == nullptr) {
                throw SourceError(p.line, "interface " + p.name + " is not defined in this file");
            }
            m_Lib.types[p.type].implTypes.push_back({found->guid, p.flags});
        }
    }

    std::vector<Token> m_Tokens;
    std::size_t m_Pos = 0;
    com::TypeLibDesc m_Lib;
    std::vector<PendingImpl> m_Pending;
};

}  // namespace

bool ParseTypeLibSource(std::string_view text, std::string_view fileName, com::TypeLibDesc& out,
                        std::string& error) {
    try {
        com::TypeLibDesc lib = Parser(Lex(text)).Run();
        if (std::string why = com::ValidateTypeLib(lib); !why.empty()) {
            error = std::string(fileName) + ": " + why;
            return false;
        }
        out = std::move(lib);
        return true;
    } catch (const SourceError& e) {
        error = std::string(fileName) + ":" + std::to_string(e.line) + ": " + e.what();
        return false;
    }
}

}  // namespace sorvex::notegen
