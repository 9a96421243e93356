#pragma once

#include <span>

namespace parvolo {

// The window's layout: every frame and control with its kind, group, rectangle in twips
// (window client coordinates), tab index, text as laid out, tooltip and behaviour flags.
enum class ControlKind {
    Frame,
    Label,
    CommandButton,
    ComboBox,
    TextBox,
    MultiLineTextBox,
    CheckBox
};

enum ControlFlag : unsigned {
    NoFlags = 0,
    RightAligned = 1u << 0,
    Centered = 1u << 1,
    ReadOnly = 1u << 2,
    FixedPitchFont = 1u << 3,  // "ＭＳ ゴシック" 9.75 pt
    NoticeFont = 1u << 4,      // "ＭＳ Ｐゴシック" 8.25 pt
    GroupTitle = 1u << 5,      // stands in the title place of its group
    LineIndicator = 1u << 6,
};

struct ControlSpec {
    const char* name;
    const char* role;  // what the control is for, in English: "Text2" is the send count
    ControlKind kind;
    const char* group;             // "" for the window
    int left, top, width, height;  // twips
    int tabIndex;                  // -1 for frames
    const char* text;              // as laid out, before the load procedure
    const char* toolTip;
    unsigned flags = NoFlags;
    int maxLength = 0;  // 0: no limit
};

std::span<const ControlSpec> controlTable();

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kClientWidthTwips = 8535;
inline constexpr int kClientHeightTwips = 6135;
inline int twipsToPixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

inline constexpr const char* kWindowTitle = "Parvolo Ver1.21";
inline constexpr const char* kFixedPitchFamily = "ＭＳ ゴシック";
inline constexpr const char* kProportionalFamily = "ＭＳ Ｐゴシック";

// Maps the window's Japanese font names to the IPA fonts that Linux has.
void installFontSubstitutions();

}  // namespace parvolo
