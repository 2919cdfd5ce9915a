#pragma once

struct LaunchOptions;

// "--preview-hud": shows the pill with sample content for looking at its tuning,
// runs the event loop and returns the exit status. The QApplication must exist.
namespace HUDPreview {
int run(const LaunchOptions& options);
}
