// The page as a person sees it: the layout of every dialog checked against the rules of a
// readable dialog, and each tab drawn to a picture for a person to look at.
#include <filesystem>

#include "tests/TESSLIN/plugin_fixture.h"

namespace tesslin_test {
namespace {

constexpr WORD kDialogs[5] = {101, 19003, 19005, 19008, 19013};

struct Item {
  int id;
  std::string cls;
  DWORD style;
  std::string text;
  RECT dlu;
};

bool IsGroupBox(const Item& i) { return i.cls == WC_BUTTONA && (i.style & BS_TYPEMASK) == BS_GROUPBOX; }
bool Interactive(const Item& i) {
  return (i.cls == WC_BUTTONA && !IsGroupBox(i)) || i.cls == WC_EDITA || i.cls == TRACKBAR_CLASSA ||
         i.cls == WC_COMBOBOXA;
}
bool Inside(const RECT& a, const RECT& b) {
  return a.left >= b.left && a.top >= b.top && a.right <= b.right && a.bottom <= b.bottom;
}
bool Overlap(const RECT& a, const RECT& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}
size_t CaptionLength(const std::string& text) {
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size() && text[i + 1] == '&')
      ++i;
    else if (text[i] == '&')
      continue;
    ++n;
  }
  return n;
}

class PicturesTest : public PluginTest {
 protected:
  // The controls of a dialog as its template places them, in dialog units (base units
  // 4 x 8 make pixels and dialog units the same).
  std::vector<Item> Template(WORD id, RECT* size) {
    win32::SetDialogBaseUnits(4, 8);
    HWND dlg = CreateDialogParamA(module_, MAKEINTRESOURCEA(id), nullptr, nullptr, 0);
    EXPECT_NE(dlg, nullptr) << id;
    std::vector<Item> items;
    if (!dlg) return items;
    GetClientRect(dlg, size);
    for (HWND c : win32::Children(dlg)) {
      Item i{GetDlgCtrlID(c), win32::ClassOf(c), win32::StyleOf(c), win32::TextOf(c), win32::RectOf(c)};
      if (i.cls == WC_COMBOBOXA) i.dlu.bottom = i.dlu.top + 12;  // the list drops below when open
      items.push_back(i);
    }
    DestroyWindow(dlg);
    win32::SetDialogBaseUnits(7, 15);
    return items;
  }
};

TEST_F(PicturesTest, EveryDialogIsLaidOutReadably) {
  for (WORD id : kDialogs) {
    SCOPED_TRACE(id);
    RECT size;
    std::vector<Item> items = Template(id, &size);
    ASSERT_FALSE(items.empty());
    // A panel must fit the page's panel area: the page's width less 3 units, and its height
    // less the status block (226 units at these base units).
    RECT area = id == 101 ? size : RECT{0, 0, 380, 226};
    for (const Item& i : items) {
      EXPECT_TRUE(Inside(i.dlu, size)) << i.id << " outside its dialog";
      EXPECT_TRUE(Inside(i.dlu, area)) << i.id << " outside the page's panel area";
      for (const Item& g : items)
        if (IsGroupBox(g) && &g != &i && !IsGroupBox(i) && Overlap(i.dlu, g.dlu)) {
          EXPECT_TRUE(Inside(i.dlu, g.dlu)) << i.id << " crosses group box " << g.id;
        }
      // One monospace cell is 4 units; boxes and radio buttons need their glyph, a group
      // box its margins.
      int glyph = 0;
      if (i.cls == WC_BUTTONA) {
        UINT type = i.style & BS_TYPEMASK;
        if (IsGroupBox(i))
          glyph = 8;
        else if ((type == BS_AUTOCHECKBOX || type == BS_AUTORADIOBUTTON) && !(i.style & BS_PUSHLIKE))
          glyph = 9;
      }
      EXPECT_LE(static_cast<LONG>(CaptionLength(i.text) * 4 + glyph), i.dlu.right - i.dlu.left)
          << i.id << " \"" << i.text << "\" does not fit";
    }
    for (size_t a = 0; a < items.size(); ++a)
      for (size_t b = a + 1; b < items.size(); ++b)
        if (Interactive(items[a]) && Interactive(items[b])) {
          EXPECT_FALSE(Overlap(items[a].dlu, items[b].dlu)) << items[a].id << " overlaps " << items[b].id;
        }
  }
}

TEST_F(PicturesTest, EachTabIsDrawnWithTheDriversValues) {
  Filter filter;
  filter.driver.Values({{0, 0x85010001},
                        {6, 0x01000203},
                        {2, 0},
                        {210, (1920u << 16) | 540},
                        {208, 60},
                        {223, 1},
                        {230, 1},
                        {241, 1},
                        {274, 60},
                        {253, 48000},
                        {370, 2},
                        {371, 1},
                        {351, 1234},
                        {9, 0x1F},
                        {201, 0},
                        {255, 0},
                        {251, 180},
                        {275, 1},
                        {244, 1},
                        {220, 1},
                        {218, 1},
                        {278, 0},
                        {401, (1920u << 12) | 1080},
                        {403, 8000000},
                        {405, 30},
                        {407, 1},
                        {414, 41},
                        {422, 30}});
  com::PropertyFrame frame;
  OpenPage(frame, filter);
  win32::RunFor(900);
  std::filesystem::path dir = std::filesystem::current_path() / "TESSLIN-pictures";
  std::filesystem::create_directories(dir);
  const struct {
    int tab;
    const char* name;
  } tabs[] = {{19114, "page-device"}, {19119, "page-receiver"}, {19123, "page-driver"}, {19130, "page-encoder"}};
  for (const auto& t : tabs) {
    ASSERT_TRUE(win32::Click(frame.page(), t.tab));
    std::string path = (dir / (std::string(t.name) + ".png")).string();
    ASSERT_TRUE(win32::RenderPng(frame.frame(), path));
    EXPECT_GT(std::filesystem::file_size(path), 1000u);
    ASSERT_TRUE(win32::RenderSvg(frame.frame(), (dir / (std::string(t.name) + ".svg")).string()));
  }
  // The receiver panel's hidden controls, as the panel would show them.
  ASSERT_TRUE(win32::Click(frame.page(), 19119));
  ASSERT_TRUE(win32::RenderPng(Panel(19008), (dir / "panel-receiver-xray.png").string(), {true}));
  ASSERT_TRUE(win32::RenderSvg(Panel(19008), (dir / "panel-receiver-xray.svg").string(), {true}));
}

}  // namespace
}  // namespace tesslin_test
