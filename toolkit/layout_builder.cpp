#include "toolkit/layout_builder.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "common/utf8.h"
#include "toolkit/paint_manager.h"
#include "toolkit/skin_resources.h"
#include "toolkit/skin_values.h"
#include "toolkit/xml_parser.h"

namespace Skin {

namespace {

void ApplyWindowAttributes(const XmlElement& window, CPaintManager* manager) {
  RECT padding = {0, 0, 0, 0};
  for (const auto& attribute : window.attributes) {
    const std::string& name = attribute.first;
    const std::string& value = attribute.second;
    if (name == "size") {
      const std::vector<int> size = ParseInts(value);
      if (size.size() == 2) manager->SetInitSize(size[0], size[1]);
    } else if (name == "caption") {
      const Sides s = ParseSides(value);
      manager->SetCaptionRect(RECT{s.left, s.top, s.right, s.bottom});
    } else if (name == "roundcorner") {
      const std::vector<int> corner = ParseInts(value);
      if (corner.size() == 2) manager->SetRoundCorner(corner[0], corner[1]);
    } else if (name == "nolayeredpadding") {
      const Sides s = ParseSides(value);
      padding = RECT{s.left, s.top, s.right, s.bottom};
    }
  }
  manager->SetLayoutPadding(padding);
  const std::string* shadow = window.Attribute("shadowsize");
  const std::string* scale = window.Attribute("shadowfocusscales");
  const std::vector<int> shadow_size = shadow ? ParseInts(*shadow) : std::vector<int>();
  manager->SetShadow(shadow_size.empty() ? 0 : shadow_size[0],
                     scale ? std::atof(scale->c_str()) : 1.0);
}

}  // namespace

std::unique_ptr<CSkinControl> CSkinBuilder::Create(const std::string& file,
                                                   CPaintManager* manager) {
  std::string xml;
  if (!LoadSkinFile(file, &xml)) return nullptr;
  return CreateFromText(xml, manager);
}

std::unique_ptr<CSkinControl> CSkinBuilder::CreateFromText(const std::string& xml,
                                                           CPaintManager* manager) {
  XmlElement window;
  if (!ParseXml(xml, &window, nullptr) || window.name != "Window") return nullptr;
  if (manager) ApplyWindowAttributes(window, manager);
  std::unique_ptr<CSkinControl> root;
  for (const XmlElement& child : window.children) {
    if (child.name == "Font") {
      const std::string* is_default = child.Attribute("default");
      const std::string* face = child.Attribute("name");
      const std::string* size = child.Attribute("size");
      const std::string* bold = child.Attribute("bold");
      if (manager && is_default && ParseBool(*is_default) && face) {
        const std::vector<int> sizes = size ? ParseInts(*size) : std::vector<int>();
        const int pixels = sizes.empty() ? CPaintManager::kDefaultFontSize : sizes[0];
        manager->SetDefaultFont(varnelo::Utf8ToWide(*face), pixels, bold && ParseBool(*bold));
      }
    } else if (!root) {
      root = BuildControl(child);
    }
  }
  return root;
}

std::unique_ptr<CSkinControl> CSkinBuilder::BuildControl(const XmlElement& element) {
  std::unique_ptr<CSkinControl> control;
  CSkinContainer* container = nullptr;
  if (element.name == "VerticalLayout" || element.name == "HorizontalLayout") {
    container = new CSkinContainer(element.name == "VerticalLayout");
    control.reset(container);
  } else if (element.name == "Label") {
    control.reset(new CSkinLabel);
  } else if (element.name == "Button") {
    control.reset(new CSkinButton);
  } else if (element.name == "Control") {
    control.reset(new CSkinControl);
  } else {
    return nullptr;  // an element this toolkit does not know is left out with its children
  }
  for (const auto& attribute : element.attributes)
    control->SetAttribute(attribute.first, attribute.second);
  if (container) {
    for (const XmlElement& child : element.children) {
      if (std::unique_ptr<CSkinControl> built = BuildControl(child))
        container->Add(std::move(built));
    }
  }
  return control;
}

}  // namespace Skin
