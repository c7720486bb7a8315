#pragma once

#include <string>

// PNG images through GDK (GTK 4); no display needed.
namespace qv::test {

// A solid-colour PNG (what toolbar images and the test icon are made of).
std::string solidPng(int width, int height, unsigned char red, unsigned char green,
                     unsigned char blue);
// Pixels of a PNG file within `tolerance` of the colour in every channel; -1 when the file
// cannot be read.
long countPixels(const std::string& pngPath, unsigned char red, unsigned char green,
                 unsigned char blue, int tolerance = 8);

}  // namespace qv::test
