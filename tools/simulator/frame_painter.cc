#include "tools/simulator/frame_painter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// 5x7 glyphs, one string of 7 rows per character; '#' is lit.
struct Glyph {
  char c;
  const char *rows[7];
};
const Glyph FONT[] = {
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {' ', {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
};

const Glyph *find_glyph(char c) {
  for (const Glyph &g : FONT) {
    if (g.c == c) return &g;
  }
  return &FONT[sizeof(FONT) / sizeof(FONT[0]) - 1];
}

void fill_rect(uint8_t *y, int stride, int x0, int y0, int w, int h, uint8_t value) {
  for (int r = y0; r < y0 + h; r++) memset(y + (size_t)r * stride + x0, value, w);
}

// Draws `text` with its top left corner at (x, y0), each font pixel `scale` pixels wide, on a
// dark plate; clipped to the frame.
void draw_text(uint8_t *y, int width, int height, int stride, int x, int y0, int scale, const char *text) {
  const int len = (int)strlen(text);
  const int plate_w = std::min(width - x, (len * 6 + 1) * scale);
  const int plate_h = std::min(height - y0, 9 * scale);
  if (plate_w <= 0 || plate_h <= 0) return;
  fill_rect(y, stride, x, y0, plate_w, plate_h, 16);
  for (int i = 0; i < len; i++) {
    const Glyph *g = find_glyph(text[i]);
    for (int gr = 0; gr < 7; gr++) {
      for (int gc = 0; gc < 5; gc++) {
        if (g->rows[gr][gc] != '#') continue;
        const int px = x + (1 + i * 6 + gc) * scale, py = y0 + (1 + gr) * scale;
        if (px + scale > width || py + scale > height) continue;
        fill_rect(y, stride, px, py, scale, scale, 235);
      }
    }
  }
}

}  // namespace

void paint_frame(uint8_t *y, uint8_t *uv, int width, int height, int stride, uint64_t frame_number, double seconds) {
  // Diagonal stripes drifting by 4 pixels a frame.
  const unsigned shift = (unsigned)(frame_number * 4);
  for (int r = 0; r < height; r++) {
    uint8_t *row = y + (size_t)r * stride;
    for (int c = 0; c < width; c++) row[c] = (uint8_t)(64 + (((unsigned)(c + r) + shift) & 0x7F));
  }
  // Slowly cycling colours.
  const uint8_t u = (uint8_t)(128 + ((frame_number * 2) & 0x3F) - 32);
  const uint8_t v = (uint8_t)(128 - ((frame_number * 3) & 0x3F) + 32);
  for (int r = 0; r < height / 2; r++) {
    uint8_t *row = uv + (size_t)r * stride;
    for (int c = 0; c + 1 < width; c += 2) {
      row[c] = u;
      row[c + 1] = v;
    }
  }
  // A bright box crossing the frame once every 100 frames.
  const int box = std::max(2, height / 6);
  if (width > box) {
    const int bx = (int)((frame_number % 100) * (uint64_t)(width - box) / 99);
    fill_rect(y, stride, bx, height - box - height / 10 > 0 ? height - box - height / 10 : 0, box,
              std::min(box, height), 250);
  }
  // Frame number and time in large digits.
  char text[64];
  snprintf(text, sizeof(text), "F %06llu  T %.2f", (unsigned long long)frame_number, seconds);
  const int scale = std::max(1, height / 90);
  draw_text(y, width, height, stride, scale * 2, scale * 2, scale, text);
}
