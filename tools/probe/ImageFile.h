// Writing preview pictures (bottom-up blue-green-red rows) to image files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Probe {

// Writes a picture of width x height, 3 bytes per pixel in blue-green-red order, rows
// bottom-up when `bottom_up`, as .png, .bmp or .ppm, chosen by the file name's ending
// (anything else: .png). False, with `error` set, when the file cannot be written.
bool WritePicture(const std::string &path, const uint8_t *pixels, int width, int height, bool bottom_up,
                  std::string *error);

// Writes raw bytes to a file.
bool WriteRaw(const std::string &path, const void *data, size_t size, std::string *error);

}  // namespace Probe
