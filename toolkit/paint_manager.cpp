#include "toolkit/paint_manager.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "toolkit/skin_resources.h"

namespace Skin {

namespace {
// Private messages: a coalesced redraw, and the one-time notice after the first showing.
constexpr UINT kMsgRender = WM_APP + 0x3A0;
constexpr UINT kMsgWindowInit = WM_APP + 0x3A1;
constexpr double kShadowDarkness = 0.35;  // alpha right at the window's edge when focused

// Client coordinates of a mouse message; signed, as they are left of or above a captured window.
POINT PointFromLParam(LPARAM l_param) {
  return POINT{static_cast<short>(LOWORD(l_param)), static_cast<short>(HIWORD(l_param))};
}
}  // namespace

CPaintManager::~CPaintManager() = default;

void CPaintManager::Init(HWND hwnd) { hwnd_ = hwnd; }

void CPaintManager::AttachDialog(std::unique_ptr<CSkinControl> root) {
  root_ = std::move(root);
  if (root_) root_->Attach(this, nullptr);
  // A drop shadow needs per-pixel alpha around the content: draw the window layered.
  if (shadow_size_ > 0) {
    ::SetWindowLongW(hwnd_, GWL_EXSTYLE, ::GetWindowLongW(hwnd_, GWL_EXSTYLE) | WS_EX_LAYERED);
    layered_ = true;
  }
  if (init_size_.cx > 0 && init_size_.cy > 0) {
    ::SetWindowPos(hwnd_, nullptr, 0, 0, init_size_.cx, init_size_.cy,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  Invalidate(true);
}

void CPaintManager::AddNotifier(ISkinNotify* receiver) { receivers_.push_back(receiver); }

void CPaintManager::SendNotify(CSkinControl* sender, Notification type) {
  TNotifyUI msg = {type, sender};
  // A receiver may close the window; work on a copy of the list.
  const std::vector<ISkinNotify*> receivers = receivers_;
  for (ISkinNotify* receiver : receivers) receiver->Notify(msg);
}

void CPaintManager::SetDefaultFont(const std::wstring& face, int size, bool bold) {
  font_face_ = face;
  font_size_ = size;
  font_bold_ = bold;
  font_.reset();
}

HFONT CPaintManager::GetDefaultFont() {
  if (!font_) {
    LOGFONTW lf = {};
    lf.lfHeight = -font_size_;
    lf.lfWeight = font_bold_ ? FW_BOLD : FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = CLEARTYPE_QUALITY;
    lstrcpynW(lf.lfFaceName, font_face_.c_str(), LF_FACESIZE);
    font_.reset(::CreateFontIndirectW(&lf));
  }
  return font_.get();
}

const SkinImage* CPaintManager::GetImage(const std::string& name) {
  auto it = images_.find(name);
  if (it == images_.end()) {
    std::string bytes;
    SkinImage image;
    if (LoadSkinFile(name, &bytes)) image = DecodeImage(bytes);
    it = images_.emplace(name, std::move(image)).first;
  }
  return it->second.bitmap ? &it->second : nullptr;
}

CSkinControl* CPaintManager::FindControl(const wchar_t* name) const {
  return root_ && name ? root_->FindControlByName(name) : nullptr;
}

CSkinControl* CPaintManager::FindControl(POINT point) const {
  return root_ ? root_->FindControlAt(point) : nullptr;
}

void CPaintManager::Invalidate(bool relayout) {
  if (relayout) need_layout_ = true;
  if (!hwnd_ || render_posted_) return;
  render_posted_ = true;
  ::PostMessageW(hwnd_, kMsgRender, 0, 0);
}

RECT CPaintManager::ContentRect() const {
  RECT client;
  ::GetClientRect(hwnd_, &client);
  return RECT{client.left + layout_padding_.left, client.top + layout_padding_.top,
              client.right - layout_padding_.right, client.bottom - layout_padding_.bottom};
}

bool CPaintManager::EnsureBuffer(int width, int height) {
  if (width <= 0 || height <= 0) return false;
  if (buffer_ && buffer_size_.cx == width && buffer_size_.cy == height) return true;
  if (!buffer_.EnsureDc()) return false;
  void* bits = nullptr;
  UniqueBitmap bitmap = CreateTopDownDib(width, height, &bits);
  if (!bitmap) return false;
  buffer_.SetBitmap(std::move(bitmap));
  pixels_ = static_cast<BYTE*>(bits);
  buffer_size_ = {width, height};
  return true;
}

void CPaintManager::ForceOpaque(BYTE* pixels, int width, const RECT& content) {
  // GDI leaves alpha at 0 where it draws; the content itself is fully opaque.
  for (int y = content.top; y < content.bottom; ++y) {
    for (int x = content.left; x < content.right; ++x)
      pixels[(y * width + x) * kBytesPerPixel + 3] = 255;
  }
}

void CPaintManager::PaintShadow(BYTE* pixels, int width, int height, const RECT& content) {
  const double scale = focused_ ? 1.0 : shadow_focus_scale_;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (x >= content.left && x < content.right && y >= content.top && y < content.bottom)
        continue;
      const int dx = x < content.left     ? content.left - x
                     : x >= content.right ? x - content.right + 1
                                          : 0;
      const int dy = y < content.top       ? content.top - y
                     : y >= content.bottom ? y - content.bottom + 1
                                           : 0;
      const double distance = std::sqrt(static_cast<double>(dx * dx + dy * dy));
      const double falloff = 1.0 - distance / (shadow_size_ + 1);
      const double alpha = falloff > 0 ? kShadowDarkness * scale * falloff * falloff : 0.0;
      BYTE* px = pixels + (y * width + x) * kBytesPerPixel;
      px[0] = px[1] = px[2] = 0;  // premultiplied black
      px[3] = static_cast<BYTE>(alpha * 255.0 + 0.5);
    }
  }
}

void CPaintManager::Render() {
  RECT client;
  ::GetClientRect(hwnd_, &client);
  const int width = client.right - client.left, height = client.bottom - client.top;
  if (!root_ || !EnsureBuffer(width, height)) return;
  const RECT content = ContentRect();
  if (need_layout_) {
    root_->SetPos(content);
    need_layout_ = false;
  }
  std::fill(pixels_, pixels_ + static_cast<size_t>(width) * height * kBytesPerPixel, BYTE{0});
  ::GdiFlush();
  root_->DoPaint(buffer_.dc(), content);
  ::GdiFlush();
  ForceOpaque(pixels_, width, content);
  if (layered_) PaintShadow(pixels_, width, height, content);
}

void CPaintManager::Present() {
  RECT window;
  ::GetWindowRect(hwnd_, &window);
  if (layered_) {
    POINT position = {window.left, window.top};
    SIZE size = buffer_size_;
    POINT origin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    const WindowDc screen(nullptr);
    if (::UpdateLayeredWindow(hwnd_, screen.get(), &position, &size, buffer_.dc(), &origin, 0,
                              &blend, ULW_ALPHA)) {
      return;
    }
    // Without per-pixel alpha the margin is simply drawn opaque.
    ::SetWindowLongW(hwnd_, GWL_EXSTYLE, ::GetWindowLongW(hwnd_, GWL_EXSTYLE) & ~WS_EX_LAYERED);
    layered_ = false;
    Render();
  }
  const WindowDc dc(hwnd_);
  ::BitBlt(dc.get(), 0, 0, buffer_size_.cx, buffer_size_.cy, buffer_.dc(), 0, 0, SRCCOPY);
}

bool CPaintManager::MessageHandler(UINT message, WPARAM w_param, LPARAM l_param, LRESULT& result) {
  result = 0;
  switch (message) {
    case kMsgRender:
      OnRender();
      return true;
    case kMsgWindowInit:
      SendNotify(root_.get(), Notification::kWindowInit);
      return true;
    case WM_SHOWWINDOW:
      OnShowWindow(w_param != FALSE);
      return false;
    case WM_PAINT:
      OnPaint();
      return true;
    case WM_ERASEBKGND:
      result = 1;  // the buffer covers every pixel: nothing to erase
      return true;
    case WM_SIZE:
      Invalidate(true);
      return false;
    case WM_MOVE:
      if (layered_) Invalidate(false);  // a layered window is presented at its position
      return false;
    case WM_ACTIVATE:
      OnActivate(LOWORD(w_param) != WA_INACTIVE);
      return false;
    case WM_MOUSEMOVE:
      OnMouseMove(PointFromLParam(l_param));
      return true;
    case WM_MOUSELEAVE:
      OnMouseLeave();
      return true;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      OnButtonDown(PointFromLParam(l_param));
      return true;
    case WM_LBUTTONUP:
      OnButtonUp(PointFromLParam(l_param));
      return true;
    default:
      return false;
  }
}

void CPaintManager::OnRender() {
  render_posted_ = false;
  if (!::IsWindowVisible(hwnd_)) return;
  Render();
  Present();
}

void CPaintManager::OnShowWindow(bool shown) {
  if (!shown) return;
  if (!init_sent_) {
    init_sent_ = true;
    ::PostMessageW(hwnd_, kMsgWindowInit, 0, 0);
  }
  Invalidate(false);
}

// Every frame is presented from the buffer, so a paint request only validates and asks for one.
void CPaintManager::OnPaint() {
  PAINTSTRUCT ps;
  ::BeginPaint(hwnd_, &ps);
  ::EndPaint(hwnd_, &ps);
  Invalidate(false);
}

// The shadow is lighter while the window is inactive.
void CPaintManager::OnActivate(bool active) {
  focused_ = active;
  Invalidate(false);
}

void CPaintManager::OnMouseMove(POINT point) {
  if (!tracking_mouse_) {
    TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, hwnd_, 0};
    tracking_mouse_ = ::TrackMouseEvent(&track) != FALSE;
  }
  CSkinControl* over = FindControl(point);
  if (over != hot_) {
    if (hot_) hot_->SetHot(false);
    hot_ = over;
    if (hot_) hot_->SetHot(true);
  }
  // A pushed button shows pushed only while the pointer is over it.
  if (pushed_) pushed_->SetPushed(over == pushed_);
}

void CPaintManager::OnMouseLeave() {
  tracking_mouse_ = false;
  if (hot_) hot_->SetHot(false);
  hot_ = nullptr;
}

void CPaintManager::OnButtonDown(POINT point) {
  CSkinControl* target = FindControl(point);
  if (!target || !target->TakesClicks()) return;
  pushed_ = target;
  pushed_->SetPushed(true);
  ::SetCapture(hwnd_);  // the release counts even outside the window
}

// A click is a release over the same button that was pushed.
void CPaintManager::OnButtonUp(POINT point) {
  CSkinControl* clicked = pushed_;
  pushed_ = nullptr;
  if (::GetCapture() == hwnd_) ::ReleaseCapture();
  if (!clicked) return;
  clicked->SetPushed(false);
  if (FindControl(point) == clicked) SendNotify(clicked, Notification::kClick);
}

}  // namespace Skin
