#include <gtest/gtest.h>

#include <string>

#include "Kelvane.h"
#include "XmlDocument.h"

using kv::XmlDocument;
using kv::XmlElement;

TEST(XmlDocument, PrintsTheTreeInItsOwnLayout) {
    const std::string source =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "  <!-- first -->\n<!--second-->\n"
        "<QMSKU>\n"
        "  <A x=\"1\" y='t&amp;&quot;'>  some\n text  </A>\n"
        "  <!-- dropped inside the root -->\n"
        "  <Empty/><Blank>   </Blank><Also a=\"v\"></Also>\n"
        "  <Mixed>head<Child>c</Child>tail</Mixed>\n"
        "  <Esc>&lt;a&gt; &amp; 'q' \"d\"</Esc>\n"
        "</QMSKU>\n";
    XmlDocument doc;
    ASSERT_EQ(doc.loadText(source), XmlDocument::LOADED);
    EXPECT_EQ(doc.print(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
              "\n"
              "<!-- first -->\n<!--second-->\n"
              "\n"
              "<QMSKU>\n"
              "   <A x=\"1\" y=\"t&amp;&quot;\">some\n text</A>\n"
              "   <Empty/>\n"
              "   <Blank/>\n"
              "   <Also a=\"v\"/>\n"
              "   <Mixed>\n"
              "      headtail\n"
              "      <Child>c</Child>\n"
              "   </Mixed>\n"
              "   <Esc>&lt;a&gt; &amp; &apos;q&apos; &quot;d&quot;</Esc>\n"
              "</QMSKU>\n");
}

TEST(XmlDocument, DeclarationDefaultsAndEncodings) {
    struct Case { std::string source, firstLine; };
    const Case cases[] = {
        {"<R/>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"},
        {"<?xml version=\"1.0\"?><R/>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"no\"?><R>abc</R>",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"no\"?>"},
        // Expat gives UTF-8: non-ASCII text must not keep a Latin-1 label.
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R>\xE9</R>",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"},
    };
    for (const Case& c : cases) {
        XmlDocument doc;
        ASSERT_EQ(doc.loadText(c.source), XmlDocument::LOADED) << c.source;
        std::string out = doc.print();
        EXPECT_EQ(out.substr(0, out.find('\n')), c.firstLine) << c.source;
    }
    XmlDocument latin;
    ASSERT_EQ(latin.loadText("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R>\xE9</R>"),
              XmlDocument::LOADED);
    EXPECT_STREQ(latin.root()->text(), "\xC3\xA9");
}

// What is written back must load again as it was, whatever the source's encoding.
TEST(XmlDocument, WrittenBackDocumentsLoadAgain) {
    struct Case {
        std::string what, source, firstLine;
    };
    const std::string utf16 = [] {
        std::string d = "\xFF\xFE";  // BOM, little endian
        for (char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><R a=\"b\">t</R>")) d += {c, '\0'};
        return d;
    }();
    const Case cases[] = {
        // Expat takes these as name letters in Latin-1 only.
        {"latin-1 names", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><M\xAAK \xB5=\"\xE9\"><\xBA/>x</M\xAAK>",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"},
        {"utf-16", utf16, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"},
    };
    for (const Case& c : cases) {
        XmlDocument doc;
        ASSERT_EQ(doc.loadText(c.source), XmlDocument::LOADED) << c.what;
        // Text set later that the source's encoding cannot hold.
        doc.root()->setText("\xE2\x82\xAC \xC3\xA9");
        const std::string out = doc.print();
        EXPECT_EQ(out.substr(0, out.find('\n')), c.firstLine) << c.what;
        XmlDocument again;
        ASSERT_EQ(again.loadText(out), XmlDocument::LOADED) << c.what << "\n" << out;
        EXPECT_EQ(again.root()->name(), doc.root()->name()) << c.what;
        EXPECT_EQ(again.root()->attributes(), doc.root()->attributes()) << c.what;
        EXPECT_STREQ(again.root()->text(), "\xE2\x82\xAC \xC3\xA9") << c.what;
        EXPECT_EQ(again.print(), out) << c.what;
    }
}

TEST(XmlDocument, CarriageReturnsTabsAndLineEndsSurviveAReload) {
    XmlDocument doc;
    ASSERT_EQ(doc.loadText("<R a=\"x&#9;y&#10;z&#13;\">p&#13;q\tr\ns</R>"), XmlDocument::LOADED);
    doc.root()->addAttribute("b", "1\r\n2\t");
    doc.root()->setText(std::string(doc.root()->text()) + "\r\nt");
    XmlDocument again;
    ASSERT_EQ(again.loadText(doc.print()), XmlDocument::LOADED);
    ASSERT_EQ(again.root()->attributes().size(), 2u);
    EXPECT_EQ(again.root()->attributes()[0].second, "x\ty\nz\r");
    EXPECT_EQ(again.root()->attributes()[1].second, "1\r\n2\t");
    EXPECT_STREQ(again.root()->text(), "p\rq\tr\ns\r\nt");
    EXPECT_EQ(again.print(), doc.print());
}

TEST(XmlDocument, RejectsWhatIsNotAWellFormedDocument) {
    for (const char* bad : {"", "   ", "<!-- only a comment -->", "<A><B></A>", "<A>&undefined;</A>",
                            "<A/><B/>", "not xml"}) {
        XmlDocument doc;
        EXPECT_EQ(doc.loadText(bad), XmlDocument::PARSE_ERROR) << bad;
        EXPECT_EQ(doc.root(), nullptr);
    }
    XmlDocument doc;
    EXPECT_EQ(doc.loadFile("/nonexistent/SKU.xml"), XmlDocument::CANNOT_OPEN);
}

TEST(XmlDocument, EntityExpansionIsBounded) {
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY a \"aaaaaaaaaa\">";
    char prev = 'a';
    for (char c = 'b'; c <= 'j'; ++c) {
        bomb += std::string("<!ENTITY ") + c + " \"";
        for (int i = 0; i < 10; ++i) bomb += std::string("&") + prev + ";";
        bomb += "\">";
        prev = c;
    }
    bomb += "]><R>&j;</R>";
    XmlDocument doc;
    EXPECT_EQ(doc.loadText(bomb), XmlDocument::PARSE_ERROR);
}

TEST(GetXmlval, FindsPathsDepthFirstWithBacktracking) {
    XmlDocument doc;
    ASSERT_EQ(doc.loadText("<QMSKU>"
                           "<NIC><Interface1><Other>o</Other></Interface1></NIC>"
                           "<NIC><Interface1><MacAddr0>m</MacAddr0></Interface1></NIC>"
                           "<FRU><ChassisType>17</ChassisType><AssetTag/></FRU>"
                           "</QMSKU>"),
              XmlDocument::LOADED);
    XmlElement* root = doc.root();
    struct Case { const char* path; const char* text; bool found; };
    const Case cases[] = {
        {"/QMSKU/FRU/ChassisType", "17", true},
        {"/QMSKU/FRU/ChassisType/", "17", true},
        {"/QMSKU/NIC/Interface1/MacAddr0", "m", true},  // second NIC, after backtracking
        {"/QMSKU/FRU/AssetTag", nullptr, true},         // found, but no text
        {"/QMSKU/FRU/Missing", nullptr, false},
        {"/Other/FRU", nullptr, false},
        {"", nullptr, false},
        {"/QMSKU", nullptr, true},
    };
    for (const Case& c : cases) {
        XmlElement* found = reinterpret_cast<XmlElement*>(1);
        const char* text = kv::get_xmlval(root, c.path, &found);
        if (c.text) {
            EXPECT_STREQ(text, c.text) << c.path;
        } else {
            EXPECT_EQ(text, nullptr) << c.path;
        }
        EXPECT_EQ(found != nullptr, c.found) << c.path;
    }
    EXPECT_EQ(kv::get_xmlval(root, "/QMSKU/FRU/ChassisType"), std::string("17"));
}

namespace {
// <R><R>...</R></R>, `depth` levels, with a text in the innermost one.
std::string nested(size_t depth) {
    std::string s;
    s.reserve(depth * 7 + 8);
    for (size_t i = 0; i < depth; ++i) s += "<R>";
    s += "x";
    for (size_t i = 0; i < depth; ++i) s += "</R>";
    return s;
}
}  // namespace

TEST(XmlDocument, NestingBeyondTheLimitIsAParseError) {
    XmlDocument doc;
    ASSERT_EQ(doc.loadText(nested(XmlDocument::MAX_DEPTH)), XmlDocument::LOADED);
    const std::string out = doc.print();
    const std::string innermost = std::string((XmlDocument::MAX_DEPTH - 1) * 3, ' ') + "<R>x</R>\n";
    EXPECT_NE(out.find(innermost), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 5), "</R>\n");

    for (size_t depth : {XmlDocument::MAX_DEPTH + 1, size_t(1000000)}) {
        XmlDocument deep;
        EXPECT_EQ(deep.loadText(nested(depth)), XmlDocument::PARSE_ERROR) << depth;
        EXPECT_EQ(deep.root(), nullptr) << depth;
    }
}
