#pragma once
// The platform's up-down control: two small arrow buttons attached to a
// buddy text box. Handles are the control widgets themselves.
#include <cstdint>

class QLineEdit;
class QWidget;

using HWND = QWidget*;

inline constexpr std::uint32_t WS_CHILD = 0x40000000u;
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000u;
inline constexpr std::uint32_t UDS_WRAP = 0x0001u;
inline constexpr std::uint32_t UDS_SETBUDDYINT = 0x0002u;
inline constexpr std::uint32_t UDS_ALIGNRIGHT = 0x0004u;
inline constexpr std::uint32_t UDS_ARROWKEYS = 0x0020u;

// Creates the control as a child of parent with buddy as its text box.
// UDS_ALIGNRIGHT places it at the buddy's right edge and narrows the buddy by
// its width (x, y, cx and cy are then unused); UDS_SETBUDDYINT writes the
// position into the buddy as decimal text whenever it changes, from the
// initial position on. A click steps by one from the buddy's current number
// and stops at the bounds unless UDS_WRAP is set; upper may be below lower
// (the up arrow always moves towards upper). Returns null on failure.
HWND CreateUpDownControl(std::uint32_t style, int x, int y, int cx, int cy, HWND parent, int id,
                         QLineEdit* buddy, int upper, int lower, int pos);

// Destroys a window made by CreateUpDownControl; the buddy keeps its width.
bool DestroyWindow(HWND window);

// The up-down control's current position, for tests and callers that ask.
int UpDownPosition(HWND upDown);
