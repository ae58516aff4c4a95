#pragma once

class QWidget;

// Where a new top-level window goes: on the screen it opens on, whole, and
// not exactly on top of another window of its kind. Call before showing it.
namespace TFWindowPlacement {

// Room kept for the window manager's title bar and frame, which a window
// not yet shown does not know.
inline constexpr int kFrameAllowance = 48;
// How far each window of a kind opens from the one before it.
inline constexpr int kCascadeStep = 28;

// Shrinks the window to the available area of its screen (the one under
// its centre, else the primary) and moves it into that area.
void fitToScreen(QWidget* window);

// While another visible top-level window with the same object name stands
// at the window's position, moves it kCascadeStep down and right, starting
// again at the top left of the screen when it would leave it.
void cascade(QWidget* window);

} // namespace TFWindowPlacement
