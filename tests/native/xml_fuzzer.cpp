// Fuzzes the layout parser: any bytes either parse into a tree or fail with a message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "toolkit/xml_parser.h"

namespace {

// Every parsed element has a name, and attribute names are unique within it.
void Check(const Skin::XmlElement& element, int depth) {
  if (element.name.empty() || depth > 1000) std::abort();
  for (size_t i = 0; i < element.attributes.size(); ++i) {
    if (element.attributes[i].first.empty()) std::abort();
    for (size_t j = i + 1; j < element.attributes.size(); ++j) {
      if (element.attributes[i].first == element.attributes[j].first) std::abort();
    }
  }
  for (const Skin::XmlElement& child : element.children) Check(child, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Skin::XmlElement root;
  std::string error;
  if (Skin::ParseXml(text, &root, &error)) {
    Check(root, 0);
  } else if (error.empty()) {
    std::abort();  // a refusal always says where
  }
  return 0;
}
