// Windowless controls of the skinned toolkit: a plain control, a label, a button and the two
// stacking layouts. Each draws itself into the paint manager's off-screen bitmap.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/gdiplus_runtime.h"
#include "toolkit/skin_values.h"

namespace Skin {

// What a control needs from the window that holds it (the paint manager): a redraw, the skin's
// images and its default font.
class IControlHost {
 public:
  virtual ~IControlHost() = default;
  // Redraws soon; `relayout` recomputes positions first.
  virtual void Invalidate(bool relayout) = 0;
  // A decoded image from the skin archive (null when missing).
  virtual const SkinImage* GetImage(const std::string& name) = 0;
  virtual HFONT GetDefaultFont() = 0;
};

class CSkinControl {
 public:
  CSkinControl() = default;
  virtual ~CSkinControl() = default;
  CSkinControl(const CSkinControl&) = delete;
  CSkinControl& operator=(const CSkinControl&) = delete;

  // Whether the control answers clicks itself (a button): the window's caption is not dragged
  // through it, and it is the one notified of a click.
  virtual bool TakesClicks() const { return false; }

  const std::wstring& GetName() const { return name_; }
  const std::wstring& GetText() const { return text_; }
  void SetText(const std::wstring& text);
  int GetFixedWidth() const { return fixed_width_; }
  void SetFixedWidth(int width);
  int GetFixedHeight() const { return fixed_height_; }
  void SetFixedHeight(int height);
  const Sides& GetPadding() const { return padding_; }
  const RECT& GetPos() const { return pos_; }

  // Applies one layout attribute; unknown attributes are ignored.
  virtual void SetAttribute(const std::string& name, const std::string& value);
  virtual void SetPos(const RECT& pos) { pos_ = pos; }
  // Draws inside `clip` (the intersection of this control and its parents): the background, then
  // the foreground.
  virtual void DoPaint(HDC dc, const RECT& clip);
  virtual CSkinControl* FindControlAt(POINT point);
  virtual CSkinControl* FindControlByName(const std::wstring& name);
  virtual void Attach(IControlHost* host, CSkinControl* parent);

  // Mouse states, used by buttons.
  virtual void SetHot(bool) {}
  virtual void SetPushed(bool) {}

 protected:
  void PaintBackground(HDC dc);
  // What the control shows over its background; DoPaint has clipped the DC to the control.
  virtual void PaintForeground(HDC dc) { (void)dc; }
  void PaintText(HDC dc, UINT default_align);
  void Invalidate(bool relayout);

  IControlHost* host_ = nullptr;
  CSkinControl* parent_ = nullptr;
  std::wstring name_;
  std::wstring text_;
  int fixed_width_ = 0;  // 0: take the room the layout gives
  int fixed_height_ = 0;
  Sides padding_;  // outer margins inside the parent layout
  Sides text_padding_;
  RECT pos_ = {0, 0, 0, 0};
  std::uint32_t bk_color_ = 0;  // AARRGGBB; alpha 0 draws nothing
  std::uint32_t text_color_ = 0xFF000000;
  std::string bk_image_;
  UINT align_ = 0;
  bool has_align_ = false;
};

class CSkinLabel : public CSkinControl {
 protected:
  void PaintForeground(HDC dc) override;
};

class CSkinButton : public CSkinLabel {
 public:
  bool TakesClicks() const override { return true; }
  void SetAttribute(const std::string& name, const std::string& value) override;
  void SetHot(bool hot) override;
  void SetPushed(bool pushed) override;

 protected:
  void PaintForeground(HDC dc) override;

 private:
  std::string normal_image_, hot_image_, pushed_image_;
  bool hot_ = false;
  bool pushed_ = false;
};

// Stacks its children vertically or horizontally. A child without a fixed size along the stacking
// direction shares what the fixed ones leave; across it, it fills the layout less its padding.
class CSkinContainer : public CSkinControl {
 public:
  explicit CSkinContainer(bool vertical) : vertical_(vertical) {}
  void Add(std::unique_ptr<CSkinControl> child);
  void SetPos(const RECT& pos) override;
  void DoPaint(HDC dc, const RECT& clip) override;
  CSkinControl* FindControlAt(POINT point) override;
  CSkinControl* FindControlByName(const std::wstring& name) override;
  void Attach(IControlHost* host, CSkinControl* parent) override;

 private:
  bool vertical_;
  std::vector<std::unique_ptr<CSkinControl>> children_;
};

}  // namespace Skin
