// The application's images, in the Qt resource system:
//   ":/png/143.png"  spinner strip, 176 x 22: eight 22 x 22 frames side by side
//   ":/png/144.png"  status lights, 36 x 12: green (x 0), yellow (x 12), red (x 24)
//   ":/png/150.png"  lock icons, 36 x 25: closed dark, open dark, closed red at x 0, 13,
//                    26 (13 x 12 each); row y 0 for normal rows, y 13 for selected rows
//   ":/icon/128.png" the application icon (also 128-16.png and 128-48.png)
#pragma once

#include <QString>

namespace Tessaline::Resources {

// Registers the images with the resource system (once; the path functions call it).
void Init();

// The resource path of PNG image `id` (":/png/<id>.png").
QString PngPath(int id);
// The resource path of icon `id` at the given size (16, 32 or 48 pixels).
QString IconPath(int id, int size = 32);

}  // namespace Tessaline::Resources
