// One paint manager per skinned window: owns the control tree, lays it out, draws it double
// buffered (with a soft drop shadow in the window's margin), tracks hot and pushed buttons and
// sends notifications (the first showing, a click) to its receivers.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/controls.h"
#include "toolkit/gdi_resources.h"
#include "toolkit/gdiplus_runtime.h"

namespace Skin {

enum class Notification {
  kWindowInit,  // once, when the layout is first shown
  kClick,       // a control that takes clicks was clicked
};

struct TNotifyUI {
  Notification type;
  CSkinControl* sender;
};

class ISkinNotify {
 public:
  virtual ~ISkinNotify() = default;
  virtual void Notify(TNotifyUI& msg) = 0;
};

class CPaintManager : public IControlHost {
 public:
  // The text size, in pixels, until the layout names a default font.
  static constexpr int kDefaultFontSize = 12;

  CPaintManager() = default;
  ~CPaintManager() override;
  CPaintManager(const CPaintManager&) = delete;
  CPaintManager& operator=(const CPaintManager&) = delete;

  void Init(HWND hwnd);
  // Takes the control tree built for this window and sizes the window from the layout.
  void AttachDialog(std::unique_ptr<CSkinControl> root);
  void AddNotifier(ISkinNotify* receiver);
  void SendNotify(CSkinControl* sender, Notification type);

  // Handles what the window leaves to it; true when handled, with the result in `result`.
  bool MessageHandler(UINT message, WPARAM w_param, LPARAM l_param, LRESULT& result);

  CSkinControl* FindControl(const wchar_t* name) const;
  CSkinControl* FindControl(POINT point) const;

  // Window attributes from the layout.
  void SetInitSize(int width, int height) { init_size_ = {width, height}; }
  void SetCaptionRect(const RECT& caption) { caption_ = caption; }
  const RECT& GetCaptionRect() const { return caption_; }
  void SetRoundCorner(int cx, int cy) { round_corner_ = {cx, cy}; }
  SIZE GetRoundCorner() const { return round_corner_; }
  void SetShadow(int size, double unfocused_scale) {
    shadow_size_ = size;
    shadow_focus_scale_ = unfocused_scale;
  }
  void SetLayoutPadding(const RECT& padding) { layout_padding_ = padding; }
  void SetDefaultFont(const std::wstring& face, int size, bool bold);
  HFONT GetDefaultFont() override;

  // A decoded image from the skin archive, cached for the window's life (null when missing).
  const SkinImage* GetImage(const std::string& name) override;

  void Invalidate(bool relayout) override;

 private:
  // One handler for each message MessageHandler takes on.
  void OnRender();
  void OnShowWindow(bool shown);
  void OnPaint();
  void OnActivate(bool active);
  void OnMouseMove(POINT point);
  void OnMouseLeave();
  void OnButtonDown(POINT point);
  void OnButtonUp(POINT point);

  void Render();
  void Present();
  void PaintShadow(BYTE* pixels, int width, int height, const RECT& content);
  void ForceOpaque(BYTE* pixels, int width, const RECT& content);
  bool EnsureBuffer(int width, int height);
  RECT ContentRect() const;

  HWND hwnd_ = nullptr;
  std::unique_ptr<CSkinControl> root_;
  std::vector<ISkinNotify*> receivers_;
  std::map<std::string, SkinImage> images_;
  SIZE init_size_ = {0, 0};
  RECT caption_ = {0, 0, 0, 0};
  SIZE round_corner_ = {0, 0};
  RECT layout_padding_ = {0, 0, 0, 0};
  int shadow_size_ = 0;
  double shadow_focus_scale_ = 1.0;
  bool focused_ = true;
  std::wstring font_face_ = L"Tahoma";
  int font_size_ = kDefaultFontSize;
  bool font_bold_ = false;
  UniqueFont font_;

  BitmapDc buffer_;
  BYTE* pixels_ = nullptr;
  SIZE buffer_size_ = {0, 0};
  bool layered_ = false;
  bool need_layout_ = true;
  bool render_posted_ = false;
  bool init_sent_ = false;
  bool tracking_mouse_ = false;
  CSkinControl* hot_ = nullptr;
  CSkinControl* pushed_ = nullptr;
};

}  // namespace Skin
