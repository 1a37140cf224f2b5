/* Screen layouts the virtual framebuffer can report, as real drivers do. */
#ifndef VFB_LAYOUTS_H
#define VFB_LAYOUTS_H

#include <linux/fb.h>
#include <string.h>

struct vfb_layout {
    const char *name;
    __u32 xres, yres, bits_per_pixel, line_length, smem_len, visual;
    struct fb_bitfield red, green, blue, transp;
    __u32 yres_virtual, xoffset, yoffset; /* 0, 0, 0: one screen, not panned */
};

#define VFB_TRUE FB_VISUAL_TRUECOLOR
/* clang-format off */
static const struct vfb_layout VFB_LAYOUTS[] = {
    /* name               xres yres bpp line  smem     visual               red      green    blue     transp      yres_virtual xoffset yoffset */
    {"xrgb8888",          800, 480, 32, 3200, 1536000, VFB_TRUE,            {16, 8, 0}, {8, 8, 0},  {0, 8, 0},  {0, 0, 0}, 0,   0,   0},
    {"xbgr8888",          800, 480, 32, 3200, 1536000, VFB_TRUE,            {0, 8, 0},  {8, 8, 0},  {16, 8, 0}, {24, 8, 0}, 0,   0,   0},
    {"rgbx8888",          800, 480, 32, 3200, 1536000, VFB_TRUE,            {24, 8, 0}, {16, 8, 0}, {8, 8, 0},  {0, 0, 0}, 0,   0,   0},
    {"bgrx8888",          800, 480, 32, 3200, 1536000, VFB_TRUE,            {8, 8, 0},  {16, 8, 0}, {24, 8, 0}, {0, 0, 0}, 0,   0,   0},
    {"rgb888",            800, 480, 24, 2400, 1152000, VFB_TRUE,            {16, 8, 0}, {8, 8, 0},  {0, 8, 0},  {0, 0, 0}, 0,   0,   0},
    {"bgr888",            800, 480, 24, 2400, 1152000, VFB_TRUE,            {0, 8, 0},  {8, 8, 0},  {16, 8, 0}, {0, 0, 0}, 0,   0,   0},
    {"rgb565",            800, 480, 16, 1600, 768000,  VFB_TRUE,            {11, 5, 0}, {5, 6, 0},  {0, 5, 0},  {0, 0, 0}, 0,   0,   0},
    {"bgr565",            800, 480, 16, 1600, 768000,  VFB_TRUE,            {0, 5, 0},  {5, 6, 0},  {11, 5, 0}, {0, 0, 0}, 0,   0,   0},
    {"xrgb8888-padded",   800, 480, 32, 3328, 1597440, VFB_TRUE,            {16, 8, 0}, {8, 8, 0},  {0, 8, 0},  {0, 0, 0}, 0,   0,   0},
    {"xrgb8888-1024x600", 1024, 600, 32, 4096, 2457600, VFB_TRUE,           {16, 8, 0}, {8, 8, 0},  {0, 8, 0},  {0, 0, 0}, 0,   0,   0},
    {"xrgb8888-640x480",  640, 480, 32, 2560, 1228800, VFB_TRUE,            {16, 8, 0}, {8, 8, 0},  {0, 8, 0},  {0, 0, 0}, 0,   0,   0},
    {"pseudocolor8",      800, 480, 8,  800,  384000,  FB_VISUAL_PSEUDOCOLOR, {0, 8, 0}, {0, 8, 0},  {0, 8, 0},  {0, 0, 0}, 0,   0,   0},
    {"mono1",             800, 480, 1,  100,  48000,   FB_VISUAL_MONO01,    {0, 1, 0},  {0, 1, 0},  {0, 1, 0},  {0, 0, 0}, 0,   0,   0},
    /* a driver whose screen memory is shorter than its lines say */
    {"xrgb8888-short",    800, 480, 32, 3200, 1228800, VFB_TRUE,            {16, 8, 0}, {8, 8, 0},  {0, 8, 0},  {0, 0, 0}, 0,   0,   0},
    /* memory for two screens, the display panned to the second (and to the
     * right end of 1024-pixel lines) */
    {"xrgb8888-panned",   800, 480, 32, 3200, 3072000, VFB_TRUE,            {16, 8, 0}, {8, 8, 0},  {0, 8, 0},  {0, 0, 0}, 960, 0,   480},
    {"rgb565-panned-xy",  800, 480, 16, 2048, 1966080, VFB_TRUE,            {11, 5, 0}, {5, 6, 0},  {0, 5, 0},  {0, 0, 0}, 960, 224, 480},
};
/* clang-format on */
#undef VFB_TRUE

static inline const struct vfb_layout *vfb_layout_find(const char *name)
{
    for (size_t i = 0; i < sizeof VFB_LAYOUTS / sizeof VFB_LAYOUTS[0]; i++)
        if (strcmp(VFB_LAYOUTS[i].name, name) == 0)
            return &VFB_LAYOUTS[i];
    return NULL;
}

/* The driver's answers to FBIOGET_VSCREENINFO and FBIOGET_FSCREENINFO. */
static inline void vfb_describe(const struct vfb_layout *layout, struct fb_var_screeninfo *var,
                                struct fb_fix_screeninfo *fix)
{
    memset(var, 0, sizeof *var);
    var->xres = layout->xres;
    var->yres = layout->yres;
    var->xres_virtual = layout->xres + layout->xoffset;
    var->yres_virtual = layout->yres_virtual > layout->yres ? layout->yres_virtual : layout->yres;
    var->xoffset = layout->xoffset;
    var->yoffset = layout->yoffset;
    var->bits_per_pixel = layout->bits_per_pixel;
    var->red = layout->red;
    var->green = layout->green;
    var->blue = layout->blue;
    var->transp = layout->transp;
    memset(fix, 0, sizeof *fix);
    memcpy(fix->id, "vfb", 4);
    fix->smem_len = layout->smem_len;
    fix->type = FB_TYPE_PACKED_PIXELS;
    fix->visual = layout->visual;
    fix->line_length = layout->line_length;
}

#endif
