// Where the harnesses draw a picture: the input's size picks one, so every
// input is drawn one fixed way and the corpus files stay plain images.
#ifndef PLACEMENTS_H
#define PLACEMENTS_H

#include <cstddef>

struct placement {
    int x, y;
};

constexpr placement PLACEMENTS[] = {
    {0, 0}, {-7, -5}, {790, 470}, {400, -300}, {-2147483647 - 1, 2147483647},
};

constexpr std::size_t PLACEMENT_COUNT = sizeof PLACEMENTS / sizeof PLACEMENTS[0];

inline placement pick_placement(std::size_t size)
{
    return PLACEMENTS[size % PLACEMENT_COUNT];
}

#endif
