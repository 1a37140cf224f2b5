// The board's panel: the screen the LCD module was built for, and what our
// camera library fits the camera's frames to.
#ifndef PANEL_H
#define PANEL_H

constexpr int LCD_WIDTH = 800;
constexpr int LCD_HEIGHT = 480;

#endif
