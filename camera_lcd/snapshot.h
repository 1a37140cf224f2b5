// A snapshot of what the camera sees, on request: the last frame drawn, byte
// for byte as the camera sent it, in snapshot.jpg.
#ifndef SNAPSHOT_H
#define SNAPSHOT_H

// Keeps a copy of a frame just drawn.
void keep_drawn_frame(const unsigned char *data, int length);
// Writes the frame kept to snapshot.jpg in $RUNTIME_DIRECTORY (the first of
// its directories), else in the working directory: to a temporary file
// renamed over it, so that a reader never sees part of a picture. One line
// says where, or why not.
void write_snapshot();

#endif
