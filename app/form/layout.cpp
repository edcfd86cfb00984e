#include "app/form/layout.h"

#include <array>
#include <cstddef>

#include "upgrade/run_texts.h"

namespace kivo {
namespace {

constexpr Rgb kBlack{0, 0, 0};
using enum ControlKind;
using C = Control;

// The lines span x = 0 to 6750 twips, one pixel high, and take no part in the tab order.
constexpr std::array kLayout = {
    ControlLayout{C::StatusBox, "StatusBox", kStatusBox, "", 0, 0, 7000, 1995, 8, true, false, 9.75,
                  kBlack, false},
    ControlLayout{C::ServerName, "ServerName", kTextBox, "", 1560, 1560, 2775, 285, 0, false, true,
                  9.75, kBlack, false},
    ControlLayout{C::SQLSrvLabel, "SQLSrvLabel", kLabel, "SQL Server Name", 120, 1605, 1455, 375, 7,
                  false, true, 9.75, kBlack, false},
    ControlLayout{C::Text1, "Text1", kTextBox, kDefaultDataDirectory.data(), 1560, 1920, 2775, 285,
                  11, false, true, 9.75, kBlack, false},
    ControlLayout{C::Label3, "Label3", kLabel, "Data Directory", 285, 1935, 1335, 255, 12, false,
                  true, 9.75, kBlack, false},
    ControlLayout{C::WebDirbox, "WebDirbox", kTextBox, kDefaultWebDirectory.data(), 1560, 2280,
                  2775, 285, 13, true, true, 9.75, kBlack, false},
    ControlLayout{C::Label4, "Label4", kLabel, "Web Directory", 315, 2280, 1215, 255, 14, true,
                  true, 9.75, kBlack, false},
    ControlLayout{C::Client, "Client", kTextBox, kDefaultClientCode.data(), 1560, 2640, 855, 285,
                  15, false, false, 0, kBlack, false},
    ControlLayout{C::Label9, "Label9", kLabel, "Client", 1005, 2640, 615, 255, 16, false, true,
                  9.75, kBlack, false},
    ControlLayout{C::Option1, "Option1", kOption, "Use Windows Logon", 1560, 3075, 5175, 255, 9,
                  true, true, 9.75, kBlack, false},
    ControlLayout{C::Option2, "Option2", kOption, "SQL Server Login", 1560, 3330, 2055, 315, 10,
                  true, true, 9.75, kBlack, false},
    ControlLayout{C::Command1, "Command1", kButton, "Update Kivo", 4440, 3480, 2175, 585, 3, true,
                  true, 9.75, kBlack, false},
    ControlLayout{C::Label1, "Label1", kLabel, "SQL Login", 570, 3750, 1095, 375, 5, false, true,
                  9.75, kBlack, false},
    ControlLayout{C::saname, "saname", kTextBox, "sa", 1560, 3720, 1335, 285, 1, false, true, 9.75,
                  kBlack, false},
    ControlLayout{C::Label2, "Label2", kLabel, "Password", 600, 4080, 1095, 255, 6, false, true,
                  9.75, kBlack, false},
    ControlLayout{C::pwd, "pwd", kTextBox, "quietlantern", 1560, 4080, 1335, 285, 2, false, true,
                  9.75, kBlack, true},
    ControlLayout{C::Command2, "Command2", kButton, "Exit", 4440, 4200, 2175, 420, 4, true, true,
                  9.75, kBlack, false},
    ControlLayout{C::Label5, "Label5", kLabel, "Upgrades the Kivo database schema.", 120, 4800,
                  3615, 255, 17, true, true, 9, Rgb{64, 64, 64}, false},
    ControlLayout{C::Line1, "Line1", kLine, "", 0, 1995, 6750, 15, -1, true, true, 0,
                  Rgb{192, 192, 192}, false},
    ControlLayout{C::Line4, "Line4", kLine, "", 0, 2010, 6750, 15, -1, true, true, 0,
                  Rgb{224, 224, 224}, false},
    ControlLayout{C::Line2, "Line2", kLine, "", 0, 4680, 6750, 15, -1, true, true, 0,
                  Rgb{128, 128, 128}, false},
    ControlLayout{C::Line3, "Line3", kLine, "", 0, 4695, 6750, 15, -1, true, true, 0,
                  Rgb{255, 255, 255}, false},
};

// LayoutOf indexes the table by the enum's value.
constexpr bool InEnumOrder() {
  for (std::size_t i = 0; i < kLayout.size(); ++i) {
    if (static_cast<std::size_t>(kLayout[i].control) != i) return false;
  }
  return true;
}
static_assert(kLayout.size() == kControlCount && InEnumOrder());
// The rows keep the run's default texts as C strings.
static_assert(kDefaultClientCode.data()[kDefaultClientCode.size()] == '\0' &&
              kDefaultDataDirectory.data()[kDefaultDataDirectory.size()] == '\0' &&
              kDefaultWebDirectory.data()[kDefaultWebDirectory.size()] == '\0');

// Each text box with the label in front of it.
constexpr std::array<std::array<Control, 2>, 6> kLabelled = {{
    {C::ServerName, C::SQLSrvLabel},
    {C::Text1, C::Label3},
    {C::WebDirbox, C::Label4},
    {C::Client, C::Label9},
    {C::saname, C::Label1},
    {C::pwd, C::Label2},
}};

constexpr bool IsBoxLabel(Control control) {
  for (const auto& [box, label] : kLabelled) {
    if (label == control) return true;
  }
  return false;
}

struct ControlOrder {
  std::array<Control, kControlCount> controls{};
  std::size_t size = 0;
};

constexpr ControlOrder MakeTabOrder() {
  // Insertion by tab index keeps equal indexes in table order.
  ControlOrder byTabIndex;
  for (const ControlLayout& layout : kLayout) {
    if (layout.kind == kLine || IsBoxLabel(layout.control)) continue;
    std::size_t at = byTabIndex.size++;
    for (; at > 0 && kLayout[static_cast<std::size_t>(byTabIndex.controls[at - 1])].tabIndex >
                         layout.tabIndex;
         --at) {
      byTabIndex.controls[at] = byTabIndex.controls[at - 1];
    }
    byTabIndex.controls[at] = layout.control;
  }
  ControlOrder order;
  for (std::size_t i = 0; i < byTabIndex.size; ++i) {
    for (const auto& [box, label] : kLabelled) {
      if (box == byTabIndex.controls[i]) order.controls[order.size++] = label;
    }
    order.controls[order.size++] = byTabIndex.controls[i];
  }
  return order;
}
constexpr ControlOrder kTabOrder = MakeTabOrder();

}  // namespace

std::span<const ControlLayout> FormLayout() { return kLayout; }

const ControlLayout& LayoutOf(Control control) {
  return kLayout[static_cast<std::size_t>(control)];
}

std::optional<Control> LabelOf(Control box) {
  for (const auto& [labelled, label] : kLabelled) {
    if (labelled == box) return label;
  }
  return std::nullopt;
}

std::span<const Control> TabOrder() {
  return std::span<const Control>(kTabOrder.controls.data(), kTabOrder.size);
}

bool ReadsShortcuts(Control control) {
  const ControlKind kind = LayoutOf(control).kind;
  return kind == kOption || kind == kButton;
}

std::string EscapeCaption(std::string_view caption) {
  std::string shown;
  shown.reserve(caption.size());
  for (const char c : caption) {
    shown.push_back(c);
    if (c == '&') shown.push_back('&');
  }
  return shown;
}

std::string UnescapeCaption(std::string_view shown) {
  std::string caption;
  caption.reserve(shown.size());
  for (std::size_t i = 0; i < shown.size(); ++i) {
    caption.push_back(shown[i]);
    if (shown[i] == '&' && i + 1 < shown.size() && shown[i + 1] == '&') ++i;
  }
  return caption;
}

}  // namespace kivo
