#include "toolkit/controls.h"

#include <algorithm>

#include "common/utf8.h"
#include "toolkit/gdi_resources.h"

namespace Skin {

namespace {

COLORREF ToColorRef(std::uint32_t argb) {
  return RGB((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF);
}

bool Intersect(RECT* out, const RECT& a, const RECT& b) {
  return ::IntersectRect(out, &a, &b) != FALSE;
}

// Limits drawing to `area` until the scope ends, then restores the DC as it was.
class ClipScope {
 public:
  ClipScope(HDC dc, const RECT& area) : dc_(dc), saved_(::SaveDC(dc)) {
    ::IntersectClipRect(dc, area.left, area.top, area.right, area.bottom);
  }
  ~ClipScope() { ::RestoreDC(dc_, saved_); }
  ClipScope(const ClipScope&) = delete;
  ClipScope& operator=(const ClipScope&) = delete;

 private:
  HDC dc_;
  int saved_;
};

void DrawImage(HDC dc, const SkinImage* image, const RECT& dest) {
  if (image == nullptr || !image->bitmap) return;
  const UniqueMemoryDc source(::CreateCompatibleDC(dc));
  if (!source) return;
  const SelectionScope selected(source.get(), image->bitmap.get());
  BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  ::GdiAlphaBlend(dc, dest.left, dest.top, dest.right - dest.left, dest.bottom - dest.top,
                  source.get(), 0, 0, image->width, image->height, blend);
}

}  // namespace

void CSkinControl::Attach(IControlHost* host, CSkinControl* parent) {
  host_ = host;
  parent_ = parent;
}

void CSkinControl::Invalidate(bool relayout) {
  if (host_) host_->Invalidate(relayout);
}

void CSkinControl::SetText(const std::wstring& text) {
  if (text == text_) return;
  text_ = text;
  Invalidate(false);
}

void CSkinControl::SetFixedWidth(int width) {
  if (width < 0 || width == fixed_width_) return;
  fixed_width_ = width;
  Invalidate(true);
}

void CSkinControl::SetFixedHeight(int height) {
  if (height < 0 || height == fixed_height_) return;
  fixed_height_ = height;
  Invalidate(true);
}

void CSkinControl::SetAttribute(const std::string& name, const std::string& value) {
  if (name == "name") {
    name_ = varnelo::Utf8ToWide(value);
  } else if (name == "text") {
    text_ = varnelo::Utf8ToWide(value);
  } else if (name == "width") {
    fixed_width_ = std::max(0, ParseInts(value).empty() ? 0 : ParseInts(value)[0]);
  } else if (name == "height") {
    fixed_height_ = std::max(0, ParseInts(value).empty() ? 0 : ParseInts(value)[0]);
  } else if (name == "padding") {
    padding_ = ParseSides(value);
  } else if (name == "textpadding") {
    text_padding_ = ParseSides(value);
  } else if (name == "bkcolor") {
    ParseColor(value, &bk_color_);
  } else if (name == "textcolor") {
    ParseColor(value, &text_color_);
  } else if (name == "bkimage") {
    bk_image_ = value;
  } else if (name == "align") {
    has_align_ = true;
    align_ = value == "right" ? DT_RIGHT : value == "center" ? DT_CENTER : DT_LEFT;
  }
}

void CSkinControl::PaintBackground(HDC dc) {
  if ((bk_color_ >> 24) != 0) {
    const UniqueBrush brush(::CreateSolidBrush(ToColorRef(bk_color_)));
    if (brush) ::FillRect(dc, &pos_, brush.get());
  }
  if (!bk_image_.empty() && host_) DrawImage(dc, host_->GetImage(bk_image_), pos_);
}

void CSkinControl::PaintText(HDC dc, UINT default_align) {
  if (text_.empty() || !host_) return;
  RECT area = {pos_.left + text_padding_.left, pos_.top + text_padding_.top,
               pos_.right - text_padding_.right, pos_.bottom - text_padding_.bottom};
  const SelectionScope font(dc, host_->GetDefaultFont());
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ToColorRef(text_color_));
  ::DrawTextW(dc, text_.c_str(), static_cast<int>(text_.size()), &area,
              (has_align_ ? align_ : default_align) | DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS |
                  DT_NOPREFIX);
}

void CSkinControl::DoPaint(HDC dc, const RECT& clip) {
  RECT visible;
  if (!Intersect(&visible, clip, pos_)) return;
  const ClipScope clip_scope(dc, visible);
  PaintBackground(dc);
  PaintForeground(dc);
}

CSkinControl* CSkinControl::FindControlAt(POINT point) {
  return ::PtInRect(&pos_, point) ? this : nullptr;
}

CSkinControl* CSkinControl::FindControlByName(const std::wstring& name) {
  return !name.empty() && name == name_ ? this : nullptr;
}

void CSkinLabel::PaintForeground(HDC dc) { PaintText(dc, DT_LEFT); }

void CSkinButton::SetAttribute(const std::string& name, const std::string& value) {
  if (name == "normalimage")
    normal_image_ = value;
  else if (name == "hotimage")
    hot_image_ = value;
  else if (name == "pushedimage")
    pushed_image_ = value;
  else
    CSkinLabel::SetAttribute(name, value);
}

void CSkinButton::SetHot(bool hot) {
  if (hot == hot_) return;
  hot_ = hot;
  Invalidate(false);
}

void CSkinButton::SetPushed(bool pushed) {
  if (pushed == pushed_) return;
  pushed_ = pushed;
  Invalidate(false);
}

void CSkinButton::PaintForeground(HDC dc) {
  const std::string& state = pushed_ && !pushed_image_.empty()          ? pushed_image_
                             : (hot_ || pushed_) && !hot_image_.empty() ? hot_image_
                                                                        : normal_image_;
  if (!state.empty() && host_) DrawImage(dc, host_->GetImage(state), pos_);
  PaintText(dc, DT_CENTER);
}

void CSkinContainer::Add(std::unique_ptr<CSkinControl> child) {
  children_.push_back(std::move(child));
}

void CSkinContainer::Attach(IControlHost* host, CSkinControl* parent) {
  CSkinControl::Attach(host, parent);
  for (auto& child : children_) child->Attach(host, this);
}

void CSkinContainer::SetPos(const RECT& pos) {
  pos_ = pos;
  const int length = vertical_ ? pos.bottom - pos.top : pos.right - pos.left;
  // Room left for flexible children after fixed sizes and every child's padding.
  int fixed_total = 0, flexible = 0;
  for (const auto& child : children_) {
    const Sides& p = child->GetPadding();
    fixed_total += vertical_ ? p.top + p.bottom : p.left + p.right;
    const int fixed = vertical_ ? child->GetFixedHeight() : child->GetFixedWidth();
    if (fixed > 0)
      fixed_total += fixed;
    else
      ++flexible;
  }
  const int share = flexible > 0 ? std::max(0, length - fixed_total) / flexible : 0;
  int cursor = vertical_ ? pos.top : pos.left;
  for (auto& child : children_) {
    const Sides& p = child->GetPadding();
    RECT r;
    if (vertical_) {
      const int height = child->GetFixedHeight() > 0 ? child->GetFixedHeight() : share;
      r.left = pos.left + p.left;
      r.right = child->GetFixedWidth() > 0 ? r.left + child->GetFixedWidth() : pos.right - p.right;
      r.top = cursor + p.top;
      r.bottom = r.top + height;
      cursor = r.bottom + p.bottom;
    } else {
      const int width = child->GetFixedWidth() > 0 ? child->GetFixedWidth() : share;
      r.top = pos.top + p.top;
      r.bottom =
          child->GetFixedHeight() > 0 ? r.top + child->GetFixedHeight() : pos.bottom - p.bottom;
      r.left = cursor + p.left;
      r.right = r.left + width;
      cursor = r.right + p.right;
    }
    child->SetPos(r);
  }
}

void CSkinContainer::DoPaint(HDC dc, const RECT& clip) {
  RECT visible;
  if (!Intersect(&visible, clip, pos_)) return;
  CSkinControl::DoPaint(dc, visible);
  // Children draw only inside this layout.
  for (auto& child : children_) child->DoPaint(dc, visible);
}

CSkinControl* CSkinContainer::FindControlAt(POINT point) {
  if (!::PtInRect(&pos_, point)) return nullptr;
  for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
    if (CSkinControl* found = (*it)->FindControlAt(point)) return found;
  }
  return this;
}

CSkinControl* CSkinContainer::FindControlByName(const std::wstring& name) {
  if (CSkinControl* self = CSkinControl::FindControlByName(name)) return self;
  for (auto& child : children_) {
    if (CSkinControl* found = child->FindControlByName(name)) return found;
  }
  return nullptr;
}

}  // namespace Skin
