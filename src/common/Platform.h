#pragma once

// Whether the process runs without a display (Qt's offscreen platform chosen because no
// display could be reached). Dialogs that need an operator then count as cancelled.
namespace Platform {
bool Headless();
void SetHeadless(bool headless);
} // namespace Platform
