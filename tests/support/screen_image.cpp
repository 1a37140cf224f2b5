#include "screen_image.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace {

// Past any size a test uses; keeps the products of the numbers small.
constexpr long PNM_NUMBER_LIMIT = 1L << 24;
constexpr long PNM_MAX_VALUE = 255;
constexpr std::size_t DIFFERENCES_TOLD = 5;

// One number of a PNM header after white space and comments; -1 when none is there.
long pnm_number(const std::vector<unsigned char> &pnm, std::size_t &at)
{
    while (at < pnm.size() && (std::isspace(pnm[at]) || pnm[at] == '#')) {
        if (pnm[at] == '#')
            while (at < pnm.size() && pnm[at] != '\n')
                at++;
        else
            at++;
    }
    long value = -1;
    for (; at < pnm.size() && std::isdigit(pnm[at]); at++)
        value = std::min(PNM_NUMBER_LIMIT, std::max(value, 0L) * 10 + (pnm[at] - '0'));
    return value;
}

} // namespace

uint32_t rgb_image::word(int x, int y) const
{
    const unsigned char *p = &rgb[(std::size_t(y) * width + x) * 3];
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

std::string parse_pnm(const std::vector<unsigned char> &pnm, rgb_image &image)
{
    if (pnm.size() < 2 || pnm[0] != 'P' || (pnm[1] != '5' && pnm[1] != '6'))
        return "not a binary 8-bit PPM or PGM";
    std::size_t at = 2;
    long width = pnm_number(pnm, at), height = pnm_number(pnm, at);
    long max_value = pnm_number(pnm, at);
    if (width < 0 || height < 0 || max_value != PNM_MAX_VALUE || at >= pnm.size() ||
        !std::isspace(pnm[at]))
        return "not a binary 8-bit PPM or PGM";
    at++; // the single white space before the samples
    std::size_t channels = pnm[1] == '6' ? 3 : 1;
    if (uint64_t(width) * uint64_t(height) * channels > pnm.size() - at)
        return "short pixel data";
    std::size_t pixels = std::size_t(width) * std::size_t(height);
    image.width = int(width);
    image.height = int(height);
    image.rgb.resize(pixels * 3);
    for (std::size_t i = 0; i < pixels; i++)
        for (std::size_t c = 0; c < 3; c++)
            image.rgb[i * 3 + c] = pnm[at + i * channels + (channels == 3 ? c : 0)];
    return "";
}

std::string describe_differences(const std::vector<unsigned char> &shown,
                                 const std::vector<unsigned char> &expected, std::size_t line_bytes,
                                 std::size_t allowed)
{
    if (shown.size() != expected.size())
        return "the screen has " + std::to_string(shown.size()) + " bytes, expected " +
               std::to_string(expected.size());
    std::size_t wrong = 0;
    std::string first;
    for (std::size_t i = 0; i < shown.size(); i++)
        if (shown[i] != expected[i] && wrong++ < DIFFERENCES_TOLD)
            first += "; byte " + std::to_string(i % line_bytes) + " of line " +
                     std::to_string(i / line_bytes) + " is " + std::to_string(shown[i]) +
                     ", expected " + std::to_string(expected[i]);
    return wrong > allowed ? std::to_string(wrong) + " bytes differ" + first : "";
}

bool read_file(const std::string &path, std::vector<unsigned char> &bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}
