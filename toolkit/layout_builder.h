// Builds a window's control tree from an XML layout in the skin archive.
#pragma once

#include <memory>
#include <string>

#include "controls.h"

namespace Skin {

class CPaintManager;
struct XmlElement;

class CSkinBuilder {
 public:
  // Reads `file` from the registered archive, applies the Window element's attributes and the
  // default font to `manager`, and returns the root control (null when the layout is unusable).
  std::unique_ptr<CSkinControl> Create(const std::string& file, CPaintManager* manager);
  // The same from XML text already in memory.
  std::unique_ptr<CSkinControl> CreateFromText(const std::string& xml, CPaintManager* manager);
  const std::string& GetError() const { return error_; }

 private:
  std::unique_ptr<CSkinControl> BuildControl(const XmlElement& element);
  std::string error_;
};

}  // namespace Skin
