#include "XmlDocument.h"

#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <vector>

namespace kv {

namespace {

constexpr const char* SPACE = " \t\n\r\v";

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(SPACE);
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(SPACE);
    return s.substr(b, e - b + 1);
}

// A parser turns a raw CR into LF, and a raw tab or line end inside an
// attribute into a space; written as references they read back unchanged.
void appendEscaped(std::string& out, const std::string& s, bool attribute = false) {
    for (char c : s) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '\'': out += "&apos;"; break;
            case '"': out += "&quot;"; break;
            case '\r': out += "&#13;"; break;
            case '\n': out += attribute ? "&#10;" : "\n"; break;
            case '\t': out += attribute ? "&#9;" : "\t"; break;
            default: out += c;
        }
    }
}

void printElement(std::string& out, const XmlElement& e, size_t depth) {
    const std::string indent(depth * 3, ' ');
    out += indent;
    out += '<';
    out += e.name();
    for (const auto& [name, value] : e.attributes()) {
        out += ' ';
        out += name;
        out += "=\"";
        appendEscaped(out, value, true);
        out += '"';
    }
    if (e.children().empty()) {
        if (!e.text() || !*e.text()) {
            out += "/>\n";
            return;
        }
        out += '>';
        appendEscaped(out, e.text());
    } else {
        out += ">\n";
        if (e.text() && *e.text()) {
            out += indent;
            out += "   ";
            appendEscaped(out, e.text());
            out += '\n';
        }
        for (const auto& child : e.children()) printElement(out, *child, depth + 1);
        out += indent;
    }
    out += "</";
    out += e.name();
    out += ">\n";
}

bool hasNonAscii(const std::string& s) {
    for (unsigned char c : s) {
        if (c >= 0x80) return true;
    }
    return false;
}

// Expat takes U+00AA, U+00B5 and U+00BA as name letters in a Latin-1
// document but not in a UTF-8 one: a document that holds them stays Latin-1.
bool needsLatin1(const std::string& utf8) {
    for (const char* c : {"\xC2\xAA", "\xC2\xB5", "\xC2\xBA"})
        if (utf8.find(c) != std::string::npos) return true;
    return false;
}

// UTF-8 (as expat gives it) back to Latin-1; what Latin-1 cannot hold can
// only be text set after the load, and is written as a character reference.
std::string toLatin1(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const int extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra && i + size_t(k) < utf8.size(); ++k)
            cp = cp << 6 | (static_cast<unsigned char>(utf8[i + size_t(k)]) & 0x3F);
        i += size_t(extra) + 1;
        if (cp <= 0xFF) {
            out += static_cast<char>(cp);
        } else {
            char ref[16];
            std::snprintf(ref, sizeof ref, "&#x%X;", static_cast<unsigned>(cp));
            out += ref;
        }
    }
    return out;
}

}  // namespace

struct XmlDocument::Builder {
    XmlDocument* doc;
    XML_Parser parser;
    std::vector<XmlElement*> open;   // elements not yet closed, innermost last
    std::vector<std::string> texts;  // their character data so far
    std::string preamble;
    bool rootSeen = false;
    bool tooDeep = false;  // set once; the parser reports an error from then on

    static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char** attrs) {
        auto* b = static_cast<Builder*>(self);
        if (b->tooDeep) return;
        if (b->open.size() >= MAX_DEPTH) {
            b->tooDeep = true;
            XML_StopParser(b->parser, XML_FALSE);
            return;
        }
        auto element = std::make_unique<XmlElement>(name);
        for (const XML_Char** a = attrs; a && a[0]; a += 2) element->addAttribute(a[0], a[1]);
        XmlElement* e = element.get();
        if (b->open.empty()) {
            b->doc->m_root = std::move(element);
            b->rootSeen = true;
        } else {
            b->open.back()->addChild(std::move(element));
        }
        b->open.push_back(e);
        b->texts.emplace_back();
    }

    static void XMLCALL onEnd(void* self, const XML_Char*) {
        auto* b = static_cast<Builder*>(self);
        if (b->tooDeep) return;
        std::string text = trimmed(b->texts.back());
        if (!text.empty()) b->open.back()->setText(std::move(text));
        b->open.pop_back();
        b->texts.pop_back();
    }

    static void XMLCALL onText(void* self, const XML_Char* s, int len) {
        auto* b = static_cast<Builder*>(self);
        if (!b->tooDeep && !b->texts.empty()) b->texts.back().append(s, static_cast<size_t>(len));
    }

    static void XMLCALL onDecl(void* self, const XML_Char* version, const XML_Char* encoding,
                               int standalone) {
        auto* b = static_cast<Builder*>(self);
        if (version) b->doc->m_version = version;
        if (encoding) b->doc->m_encoding = encoding;
        b->doc->m_standalone = standalone;
    }

    // Comments, processing instructions and the document type declaration
    // before the root are kept; the same inside the root are dropped.
    static void XMLCALL onOther(void* self, const XML_Char* s, int len) {
        auto* b = static_cast<Builder*>(self);
        if (!b->rootSeen) b->preamble.append(s, static_cast<size_t>(len));
    }
};

XmlDocument::LoadResult XmlDocument::loadFile(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return CANNOT_OPEN;
    std::string text;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return PARSE_ERROR;
    return loadText(text);
}

XmlDocument::LoadResult XmlDocument::loadText(const std::string& text) {
    *this = XmlDocument();
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) return PARSE_ERROR;
    Builder b{this, parser, {}, {}, {}, false, false};
    XML_SetUserData(parser, &b);
    XML_SetElementHandler(parser, &Builder::onStart, &Builder::onEnd);
    XML_SetCharacterDataHandler(parser, &Builder::onText);
    XML_SetXmlDeclHandler(parser, &Builder::onDecl);
    XML_SetDefaultHandlerExpand(parser, &Builder::onOther);
    bool ok = true;
    // Fed in pieces so that any size fits expat's int length.
    const size_t chunk = 1 << 20;
    size_t pos = 0;
    do {
        size_t len = std::min(chunk, text.size() - pos);
        bool last = pos + len == text.size();
        ok = XML_Parse(parser, text.data() + pos, static_cast<int>(len), last) == XML_STATUS_OK;
        pos += len;
    } while (ok && pos < text.size());
    XML_ParserFree(parser);
    if (!ok || b.tooDeep || !m_root) {
        *this = XmlDocument();
        return PARSE_ERROR;
    }
    m_preamble = trimmed(b.preamble);
    return LOADED;
}

std::string XmlDocument::print() const {
    std::string body;
    if (!m_preamble.empty()) {
        body += m_preamble;
        body += "\n\n";
    }
    if (m_root) printElement(body, *m_root, 0);

    // Expat hands over UTF-8 whatever the source encoding was; say so when
    // the bytes would otherwise be mislabelled.
    std::string encoding = m_encoding;
    if (strcasecmp(encoding.c_str(), "ISO-8859-1") == 0 && needsLatin1(body)) {
        body = toLatin1(body);
    } else if (strcasecmp(encoding.c_str(), "UTF-8") != 0 &&
               (hasNonAscii(body) || strncasecmp(encoding.c_str(), "UTF-16", 6) == 0)) {
        // (A UTF-16 label on these 8-bit bytes would make them unreadable.)
        encoding = "UTF-8";
    }

    std::string out = "<?xml version=\"" + m_version + "\" encoding=\"" + encoding + "\"";
    if (m_standalone == 1) out += " standalone=\"yes\"";
    if (m_standalone == 0) out += " standalone=\"no\"";
    out += "?>\n\n";
    out += body;
    return out;
}

}  // namespace kv
