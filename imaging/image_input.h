// Reading an image file, and setting libjpeg up to decode JPEG data, as both
// programs do.
#ifndef IMAGE_INPUT_H
#define IMAGE_INPUT_H

#include <cstddef>
#include <cstdio>
#include <sys/stat.h>

#include <jpeglib.h>

// The size of the file st describes, or -1 when it does not fit the int that
// both programs count file bytes in.
int fit_file_size(const struct stat &st);

// Reads up to size bytes from offset, through short reads and interruptions;
// the count read (fewer at the end of the file), or -1 on a read error.
long read_all(int fd, unsigned char *buf, long size, long offset);

// Creates the decompression object, whose error manager the caller has set,
// gives it size bytes of JPEG data and reads their header; libjpeg's result.
int open_jpeg_data(jpeg_decompress_struct *cinfo, const unsigned char *data, unsigned long size);

// Colour and grey images are decoded to colour_space; false, with nothing
// changed, for the others (CMYK, YCCK), which cannot be shown.
bool set_colour_output(jpeg_decompress_struct *cinfo, J_COLOR_SPACE colour_space);

#endif
