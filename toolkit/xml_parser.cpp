#include "toolkit/xml_parser.h"

#include <cstdint>

#include "common/utf8.h"

namespace Skin {

namespace {

// Nesting deeper than any layout needs is refused rather than recursed into.
constexpr int kMaxDepth = 64;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";  // UTF-8's, which a layout may begin with

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool Document(XmlElement* root) {
    if (StartsWith(kByteOrderMark)) pos_ = std::char_traits<char>::length(kByteOrderMark);
    if (!SkipMisc()) return false;
    if (!Element(root, 0)) return false;
    if (!SkipMisc()) return false;
    if (pos_ != s_.size()) return Fail("content after the root element");
    return true;
  }
  std::string error;

 private:
  bool Fail(const char* what) {
    if (error.empty()) error = std::string(what) + " at byte " + std::to_string(pos_);
    return false;
  }
  bool AtEnd() const { return pos_ >= s_.size(); }
  bool StartsWith(const char* text) const {
    return s_.compare(pos_, std::char_traits<char>::length(text), text) == 0;
  }
  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool IsNameChar(char c) {
    return c != '\0' && !IsSpace(c) && c != '=' && c != '>' && c != '/' && c != '<' && c != '"' &&
           c != '\'' && c != '?' && c != '!';
  }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(s_[pos_])) ++pos_;
  }
  bool SkipPast(const char* terminator) {
    const size_t end = s_.find(terminator, pos_);
    if (end == std::string::npos) return Fail("unterminated markup");
    pos_ = end + std::char_traits<char>::length(terminator);
    return true;
  }
  // Declarations, comments, processing instructions and white space between elements.
  bool SkipMisc() {
    for (;;) {
      SkipSpace();
      if (StartsWith("<?")) {
        if (!SkipPast("?>")) return false;
      } else if (StartsWith("<!--")) {
        if (!SkipPast("-->")) return false;
      } else if (StartsWith("<!")) {
        if (!SkipPast(">")) return false;
      } else {
        return true;
      }
    }
  }
  bool Name(std::string* name) {
    const size_t start = pos_;
    while (!AtEnd() && IsNameChar(s_[pos_])) ++pos_;
    if (pos_ == start) return Fail("expected a name");
    name->assign(s_, start, pos_ - start);
    return true;
  }
  bool Entity(std::string* out) {
    const size_t end = s_.find(';', pos_);
    if (end == std::string::npos || end - pos_ > 12) return Fail("bad entity");
    const std::string name = s_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    if (name == "lt")
      out->push_back('<');
    else if (name == "gt")
      out->push_back('>');
    else if (name == "amp")
      out->push_back('&');
    else if (name == "quot")
      out->push_back('"');
    else if (name == "apos")
      out->push_back('\'');
    else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string digits = name.substr(hex ? 2 : 1);
      if (digits.empty()) return Fail("bad character reference");
      uint32_t cp = 0;
      for (char c : digits) {
        int v = (c >= '0' && c <= '9')          ? c - '0'
                : hex && (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : hex && (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                : -1;
        if (v < 0) return Fail("bad character reference");
        cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(v);
        if (cp > 0x10FFFF) return Fail("character reference out of range");
      }
      if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return Fail("character reference not allowed");
      *out += varnelo::CodePointToUtf8(cp);
    } else {
      return Fail("unknown entity");
    }
    return true;
  }
  bool AttributeValue(std::string* value) {
    if (AtEnd() || (s_[pos_] != '"' && s_[pos_] != '\'')) return Fail("expected a quoted value");
    const char quote = s_[pos_++];
    value->clear();
    for (;;) {
      if (AtEnd()) return Fail("unterminated attribute value");
      const char c = s_[pos_];
      if (c == quote) {
        ++pos_;
        return true;
      }
      if (c == '<') return Fail("'<' in attribute value");
      if (c == '&') {
        if (!Entity(value)) return false;
      } else {
        value->push_back(c);
        ++pos_;
      }
    }
  }
  bool Element(XmlElement* element, int depth) {
    if (depth > kMaxDepth) return Fail("elements nested too deeply");
    if (AtEnd() || s_[pos_] != '<') return Fail("expected an element");
    ++pos_;
    if (!Name(&element->name)) return false;
    for (;;) {
      SkipSpace();
      if (AtEnd()) return Fail("unterminated start tag");
      if (StartsWith("/>")) {
        pos_ += 2;
        return true;
      }
      if (s_[pos_] == '>') {
        ++pos_;
        break;
      }
      std::string key, value;
      if (!Name(&key)) return false;
      SkipSpace();
      if (AtEnd() || s_[pos_] != '=') return Fail("expected '='");
      ++pos_;
      SkipSpace();
      if (!AttributeValue(&value)) return false;
      for (const auto& existing : element->attributes) {
        if (existing.first == key) return Fail("duplicate attribute");
      }
      element->attributes.emplace_back(std::move(key), std::move(value));
    }
    // Content: child elements; text, comments and instructions are skipped.
    for (;;) {
      const size_t next = s_.find('<', pos_);
      if (next == std::string::npos) return Fail("unterminated element");
      pos_ = next;
      if (StartsWith("</")) {
        pos_ += 2;
        std::string closing;
        if (!Name(&closing)) return false;
        if (closing != element->name) return Fail("mismatched end tag");
        SkipSpace();
        if (AtEnd() || s_[pos_] != '>') return Fail("expected '>'");
        ++pos_;
        return true;
      }
      if (StartsWith("<!--")) {
        if (!SkipPast("-->")) return false;
      } else if (StartsWith("<![CDATA[")) {
        if (!SkipPast("]]>")) return false;
      } else if (StartsWith("<?")) {
        if (!SkipPast("?>")) return false;
      } else {
        element->children.emplace_back();
        if (!Element(&element->children.back(), depth + 1)) return false;
      }
    }
  }

  const std::string& s_;
  size_t pos_ = 0;
};

}  // namespace

const std::string* XmlElement::Attribute(const std::string& key) const {
  for (const auto& attribute : attributes) {
    if (attribute.first == key) return &attribute.second;
  }
  return nullptr;
}

bool ParseXml(const std::string& text, XmlElement* root, std::string* error) {
  Parser parser(text);
  *root = XmlElement();
  if (parser.Document(root)) return true;
  if (error) *error = parser.error;
  return false;
}

}  // namespace Skin
