// Draws a window tree as a person would see it on the screen, to PNG, with cairo and a
// monospace face in place of the dialogs' own font.
#include <cairo-svg.h>
#include <cairo.h>

#include <cstring>

#include "platform/win32/internal.h"

namespace platform::win32 {
namespace {

using detail::Find;
using detail::Kind;
using detail::Window;

struct Painter {
  cairo_t* cr;
  RenderOptions options;
};

void SetColour(cairo_t* cr, double r, double g, double b) { cairo_set_source_rgb(cr, r, g, b); }

// Captions: "&&" is a literal '&', a single '&' marks the next character (underlined on
// screen; drawn plain here).
std::string Caption(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&')
        ++i;
      else
        continue;
    }
    out.push_back(text[i]);
  }
  return out;
}

void Text(Painter& p, const std::string& text, double x, double y, double w, double h, int align, bool enabled) {
  cairo_t* cr = p.cr;
  std::string s = Caption(text);
  cairo_text_extents_t ext;
  cairo_text_extents(cr, s.c_str(), &ext);
  double tx = x;
  if (align == 1) tx = x + (w - ext.x_advance) / 2;
  cairo_font_extents_t fe;
  cairo_font_extents(cr, &fe);
  double ty = y + (h + fe.ascent - fe.descent) / 2;
  if (enabled)
    SetColour(cr, 0, 0, 0);
  else
    SetColour(cr, 0.55, 0.55, 0.55);
  cairo_move_to(cr, tx, ty);
  cairo_show_text(cr, s.c_str());
}

void Box(cairo_t* cr, double x, double y, double w, double h, double r, double g, double b) {
  cairo_rectangle(cr, x + 0.5, y + 0.5, w - 1, h - 1);
  SetColour(cr, r, g, b);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
}

void Fill(cairo_t* cr, double x, double y, double w, double h, double r, double g, double b) {
  cairo_rectangle(cr, x, y, w, h);
  SetColour(cr, r, g, b);
  cairo_fill(cr);
}

void DrawWindow(Painter& p, HWND h, double ox, double oy, bool hiddenAncestor);

void DrawControl(Painter& p, const Window& w, double x, double y, double cw, double ch) {
  cairo_t* cr = p.cr;
  bool enabled = EffectivelyEnabled(detail::HandleOf(w));
  switch (w.kind) {
    case Kind::Button: {
      UINT type = w.style & BS_TYPEMASK;
      if (type == BS_GROUPBOX) {
        cairo_font_extents_t fe;
        cairo_font_extents(cr, &fe);
        double top = y + fe.height / 2;
        Box(cr, x, top, cw, ch - (top - y), 0.6, 0.6, 0.6);
        std::string s = Caption(w.text);
        if (!s.empty()) {
          cairo_text_extents_t ext;
          cairo_text_extents(cr, s.c_str(), &ext);
          Fill(cr, x + 6, y, ext.x_advance + 4, fe.height, 0.94, 0.94, 0.94);
          Text(p, w.text, x + 8, y, cw, fe.height, 0, enabled);
        }
      } else if ((w.style & BS_PUSHLIKE) || type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) {
        bool down = (w.style & BS_PUSHLIKE) && w.check == BST_CHECKED;
        Fill(cr, x, y, cw, ch, down ? 0.78 : 0.90, down ? 0.84 : 0.90, down ? 0.95 : 0.90);
        Box(cr, x, y, cw, ch, 0.45, 0.45, 0.45);
        Text(p, w.text, x, y, cw, ch, 1, enabled);
      } else if (type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON) {
        double r = std::min(ch, 12.0) / 2 - 1;
        double cx = x + r + 1, cy = y + ch / 2;
        cairo_arc(cr, cx, cy, r, 0, 6.2832);
        SetColour(cr, 1, 1, 1);
        cairo_fill_preserve(cr);
        SetColour(cr, 0.35, 0.35, 0.35);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
        if (w.check == BST_CHECKED) {
          cairo_arc(cr, cx, cy, r / 2, 0, 6.2832);
          SetColour(cr, enabled ? 0 : 0.55, enabled ? 0 : 0.55, enabled ? 0 : 0.55);
          cairo_fill(cr);
        }
        Text(p, w.text, x + 2 * r + 5, y, cw, ch, 0, enabled);
      } else {
        double s = std::min(ch, 12.0) - 2;
        double by = y + (ch - s) / 2;
        Fill(cr, x + 1, by, s, s, 1, 1, 1);
        Box(cr, x + 1, by, s, s, 0.35, 0.35, 0.35);
        if (w.check == BST_CHECKED) {
          SetColour(cr, enabled ? 0 : 0.55, enabled ? 0 : 0.55, enabled ? 0 : 0.55);
          cairo_set_line_width(cr, 1.6);
          cairo_move_to(cr, x + 3, by + s / 2);
          cairo_line_to(cr, x + s / 2, by + s - 2);
          cairo_line_to(cr, x + s - 1, by + 2);
          cairo_stroke(cr);
        }
        Text(p, w.text, x + s + 5, y, cw, ch, 0, enabled);
      }
      break;
    }
    case Kind::Static:
      Text(p, w.text, x, y, cw, ch, (w.style & SS_CENTER) ? 1 : 0, enabled);
      break;
    case Kind::Edit:
      Fill(cr, x, y, cw, ch, enabled ? 1 : 0.94, enabled ? 1 : 0.94, enabled ? 1 : 0.94);
      Box(cr, x, y, cw, ch, 0.5, 0.5, 0.5);
      Text(p, w.text, x + 3, y, cw - 6, ch, (w.style & ES_CENTER) ? 1 : 0, enabled);
      break;
    case Kind::Trackbar: {
      double cy = y + ch / 2;
      Fill(cr, x + 4, cy - 2, cw - 8, 4, 0.8, 0.8, 0.8);
      Box(cr, x + 4, cy - 2, cw - 8, 4, 0.5, 0.5, 0.5);
      double span = w.tbMax > w.tbMin ? static_cast<double>(w.tbPos - w.tbMin) / (w.tbMax - w.tbMin) : 0;
      double tx = x + 4 + span * (cw - 14);
      Fill(cr, tx, y + 1, 6, ch - 2, enabled ? 0.25 : 0.6, enabled ? 0.45 : 0.6, enabled ? 0.8 : 0.6);
      break;
    }
    case Kind::Combo: {
      cairo_font_extents_t fe;
      cairo_font_extents(cr, &fe);
      double bh = std::min(ch, fe.height + 6);
      Fill(cr, x, y, cw, bh, 1, 1, 1);
      Box(cr, x, y, cw, bh, 0.5, 0.5, 0.5);
      Text(p, w.text, x + 3, y, cw - bh, bh, 0, enabled);
      cairo_move_to(cr, x + cw - bh + 4, y + bh / 2 - 2);
      cairo_line_to(cr, x + cw - 4, y + bh / 2 - 2);
      cairo_line_to(cr, x + cw - bh / 2, y + bh / 2 + 3);
      cairo_close_path(cr);
      SetColour(cr, 0.2, 0.2, 0.2);
      cairo_fill(cr);
      break;
    }
    default:
      break;
  }
}

void DrawWindow(Painter& p, HWND h, double ox, double oy, bool hiddenAncestor) {
  Window* w = Find(h);
  if (!w) return;
  bool hidden = hiddenAncestor || !(w->style & WS_VISIBLE);
  if (hidden && !p.options.xray) return;
  double x = ox + w->rect.left, y = oy + w->rect.top;
  double cw = w->rect.right - w->rect.left, ch = w->rect.bottom - w->rect.top;
  cairo_t* cr = p.cr;
  cairo_save(cr);
  cairo_rectangle(cr, x, y, cw, ch);
  cairo_clip(cr);
  if (hidden) cairo_push_group(cr);
  if (w->kind == Kind::Dialog || w->kind == Kind::Frame)
    Fill(cr, x, y, cw, ch, 0.94, 0.94, 0.94);
  else
    DrawControl(p, *w, x, y, cw, ch);
  std::vector<HWND> kids = w->children;
  for (HWND c : kids) DrawWindow(p, c, x, y, hidden);
  if (hidden) {
    cairo_pop_group_to_source(cr);
    cairo_paint_with_alpha(cr, 0.35);
    double dash[] = {3, 3};
    cairo_set_dash(cr, dash, 2, 0);
    Box(cr, x, y, cw, ch, 0.8, 0.1, 0.1);
    cairo_set_dash(cr, nullptr, 0, 0);
  }
  cairo_restore(cr);
}

}  // namespace

namespace {

void Paint(cairo_surface_t* surface, Window* w, HWND hwnd, const RenderOptions& options) {
  cairo_t* cr = cairo_create(surface);
  SetColour(cr, 0.94, 0.94, 0.94);
  cairo_paint(cr);
  cairo_select_font_face(cr, "DejaVu Sans Mono", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  // A cell as wide as the horizontal dialog base unit, as the dialogs' own face has.
  cairo_set_font_size(cr, DialogBaseUnitX() / 0.602);
  Painter p{cr, options};
  DrawWindow(p, hwnd, -w->rect.left, -w->rect.top, false);
  cairo_destroy(cr);
}

}  // namespace

bool RenderPng(HWND hwnd, const std::string& path, const RenderOptions& options) {
  Window* w = Find(hwnd);
  if (!w) return false;
  int width = std::max<int>(1, w->rect.right - w->rect.left);
  int height = std::max<int>(1, w->rect.bottom - w->rect.top);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  Paint(surface, w, hwnd, options);
  bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

bool RenderSvg(HWND hwnd, const std::string& path, const RenderOptions& options) {
  Window* w = Find(hwnd);
  if (!w) return false;
  int width = std::max<int>(1, w->rect.right - w->rect.left);
  int height = std::max<int>(1, w->rect.bottom - w->rect.top);
  cairo_surface_t* surface = cairo_svg_surface_create(path.c_str(), width, height);
  Paint(surface, w, hwnd, options);
  cairo_surface_finish(surface);
  bool ok = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

}  // namespace platform::win32
