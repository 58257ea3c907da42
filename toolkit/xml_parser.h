// A small XML reader for skin layouts: elements, attributes, UTF-8 text; entities &lt; &gt;
// &amp; &quot; &apos; and numeric references. No DTDs, namespaces or mixed content (text between
// elements is ignored), which layouts do not use. Free of Windows headers.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Skin {

struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // in document order
  std::vector<XmlElement> children;

  // The attribute's value, or null when absent.
  const std::string* Attribute(const std::string& key) const;
};

// Parses a whole document into its root element. On failure returns false with a message
// naming the byte offset.
bool ParseXml(const std::string& text, XmlElement* root, std::string* error);

}  // namespace Skin
