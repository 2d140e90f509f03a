#pragma once
// One element of the SKU document tree: its name, attributes in document
// order, its text (all character data joined and trimmed; none when that is
// empty) and its child elements in document order.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kv {

class XmlElement {
public:
    using Attribute = std::pair<std::string, std::string>;

    explicit XmlElement(std::string name) : m_name(std::move(name)) {}

    const std::string& name() const { return m_name; }

    const std::vector<Attribute>& attributes() const { return m_attributes; }
    void addAttribute(std::string name, std::string value) {
        m_attributes.emplace_back(std::move(name), std::move(value));
    }

    // Null when the element has no text.
    const char* text() const { return m_text ? m_text->c_str() : nullptr; }
    void setText(std::string text) { m_text = std::move(text); }
    void clearText() { m_text.reset(); }

    const std::vector<std::unique_ptr<XmlElement>>& children() const { return m_children; }
    XmlElement* addChild(std::unique_ptr<XmlElement> child) {
        m_children.push_back(std::move(child));
        return m_children.back().get();
    }

private:
    std::string m_name;
    std::vector<Attribute> m_attributes;
    std::optional<std::string> m_text;
    std::vector<std::unique_ptr<XmlElement>> m_children;
};

}  // namespace kv
