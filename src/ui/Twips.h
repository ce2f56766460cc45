#pragma once

// Window geometry is laid out in twips (1/1440 inch); at 96 dots per inch 15 twips are one pixel.
namespace Twips {

inline constexpr int PerPixel = 15;

constexpr int toPixels(int twips)
{
    return twips / PerPixel;
}

} // namespace Twips
