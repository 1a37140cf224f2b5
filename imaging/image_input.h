// Reading an image file, and choosing what libjpeg decodes a JPEG image to,
// as both programs and lcd_draw do.
#ifndef IMAGE_INPUT_H
#define IMAGE_INPUT_H

#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#include <jpeglib.h>

// How image files are opened: for reading, never blocking, as a FIFO or a
// device given as the image must not hang the program.
constexpr int IMAGE_FILE_FLAGS = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// Opens an image file so; -1 with errno as open left it.
int open_image_file(const char *path);

// The size of the file st describes, or -1 when it does not fit the int that
// both programs count file bytes in.
int fit_file_size(const struct stat &st);

// Reads up to size bytes from offset, through short reads and interruptions;
// the count read (fewer at the end of the file), or -1 on a read error.
long read_all(int fd, unsigned char *buf, long size, long offset);

// Colour and grey images are decoded to colour_space; false, with nothing
// changed, for the others (CMYK, YCCK), which cannot be shown. Called after
// jpeg_read_header.
bool set_colour_output(jpeg_decompress_struct *cinfo, J_COLOR_SPACE colour_space);

#endif
