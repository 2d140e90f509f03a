#pragma once
// The SKU document: an XML tree read with expat, white space around texts
// ignored, and printed back with three spaces of indentation per level.
#include <cstddef>
#include <memory>
#include <string>

#include "XmlElement.h"

namespace kv {

class XmlDocument {
public:
    enum LoadResult { LOADED = 0, CANNOT_OPEN = 1, PARSE_ERROR = 2 };

    // Elements nested deeper than this (the root is level 1) make the
    // document unparsable: the tree is walked recursively, and the printed
    // indentation alone would grow with the square of the depth.
    static constexpr size_t MAX_DEPTH = 1000;

    // Reads and parses a file; on failure the document stays empty.
    LoadResult loadFile(const char* path);
    // Parses a whole document held in memory.
    LoadResult loadText(const std::string& text);

    XmlElement* root() const { return m_root.get(); }

    // The whole document as it is written to a file: declaration, empty line,
    // the comments and other markup found before the root, then the tree.
    std::string print() const;

    const std::string& version() const { return m_version; }
    const std::string& encoding() const { return m_encoding; }
    const std::string& preamble() const { return m_preamble; }

private:
    struct Builder;  // expat callbacks filling the document

    std::unique_ptr<XmlElement> m_root;
    std::string m_version = "1.0";
    std::string m_encoding = "UTF-8";
    int m_standalone = -1;  // -1 not given, 0 "no", 1 "yes"
    std::string m_preamble;
};

}  // namespace kv
