// Builds a window's control tree from an XML layout in the skin archive.
#pragma once

#include <memory>
#include <string>

#include "toolkit/controls.h"

namespace Skin {

class CPaintManager;
struct XmlElement;

class CSkinBuilder {
 public:
  // Reads `file` from the registered archive, applies the Window element's attributes and the
  // default font to `manager`, and returns the root control (null when the file is missing, is not
  // well-formed XML, or holds no Window with a control).
  std::unique_ptr<CSkinControl> Create(const std::string& file, CPaintManager* manager);
  // The same from XML text already in memory.
  std::unique_ptr<CSkinControl> CreateFromText(const std::string& xml, CPaintManager* manager);

 private:
  std::unique_ptr<CSkinControl> BuildControl(const XmlElement& element);
};

}  // namespace Skin
